# The compiled helpers are submodules of one extension module; these stubs
# give each its own file, as a package of stubs beside the extension.
from . import lifts as lifts
from . import parcel as parcel
from . import transpose as transpose
from . import unfold as unfold
