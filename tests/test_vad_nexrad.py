"""`tarnwell vad` on NEXRAD Level II archives written here byte by byte from
the Archive II / RDA-RPG interface layout (message 31, and message 1 of the
older archives): split cuts, "below threshold" and "range folded" codes,
folded velocities, bzip2-compressed LDM records and whole-file gzip/bzip2."""

from __future__ import annotations

import bz2
import gzip
import struct
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("xradar")

import tarnwell  # noqa: E402
from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main  # noqa: E402
from tarnwell.cli import radar as _radar  # noqa: E402

RECORD_BYTES = 2432  # metadata records and message 1 radials: fixed-size records
METADATA_RECORDS = 134
CTM = bytes(12)  # the channel terminal manager header before every message
NYQUIST = 8.0  # m/s: the winds below fold once or twice
BELOW_THRESHOLD, RANGE_FOLDED = 0, 1
VEL_SCALE, VEL_OFFSET = 2.0, 129.0  # velocity word = 2 v + 129 (0.5 m/s steps)
REF_SCALE, REF_OFFSET = 2.0, 66.0
CONSTANT_WORD = 2  # -63.5 m/s: the lowest velocity a word holds
N_RAYS = 360
N_GATES = 120
GATE_SPACING = 250
FIRST_GATE = 2125
SITE = (35.33, -97.28, 370, 20)  # latitude, longitude, height, feedhorn height


def wind(height):
    """A strong veering wind that folds at NYQUIST: about 20-32 m/s."""
    u = 20.0 + 8.0 * np.tanh(height / 2000.0)
    v = -6.0 + 8.0 * np.tanh(height / 1500.0)
    return u, v


def message_header(size_bytes: int, mtype: int) -> bytes:
    # size in halfwords from the start of this header; channels; type; sequence;
    # modified Julian date; milliseconds; segments; segment number.
    return struct.pack(">HBBHHIHH", size_bytes // 2, 8, mtype, 1, 20600, 75_600_000, 1, 1)


def moment_block(name: bytes, words: np.ndarray, first: int, spacing: int, scale, offset):
    head = (
        b"D"
        + name
        + struct.pack(">IHhhhhBBff", 0, words.size, first, spacing, 16, 28, 0, 8, scale, offset)
    )
    return head + words.astype(np.uint8).tobytes()


def message_31(az, el, status, el_number, moments, nyquist_counts) -> bytes:
    """One radial of message 31 (generic format): header, VOL, ELV, RAD and
    the moment blocks, with the block pointers counted from the message 31
    header's first byte."""
    vol = b"RVOL" + struct.pack(
        ">HBBffhHfffffH2s", 44, 2, 0, SITE[0], SITE[1], SITE[2], SITE[3], 0, 0, 0, 0, 0, 212, b""
    )
    elv = b"RELV" + struct.pack(">Hhf", 12, 0, 0.0)
    rad = b"RRAD" + struct.pack(">Hhffh2s", 20, 4600, 0.0, 0.0, nyquist_counts, b"")
    blocks = [vol, elv, rad, *moments]
    header_size = 72
    pointers, at = [], header_size
    for block in blocks:
        pointers.append(at)
        at += len(block)
    pointers += [0] * (10 - len(pointers))
    header = struct.pack(
        ">4sIHHfBBHBBBBfBbH10I",
        b"KTLX",
        75_600_000,
        20600,
        1,
        az,
        0,
        0,
        at,
        1,
        status,
        el_number,
        0,
        el,
        0,
        0,
        len(blocks),
        *pointers,
    )
    body = header + b"".join(blocks)
    return CTM + message_header(16 + len(body), 31) + body


def velocity_words(vr: np.ndarray) -> np.ndarray:
    """Velocities (m/s, NaN: no echo) as words; NaN becomes "below threshold"."""
    words = np.round(vr * VEL_SCALE + VEL_OFFSET)
    return np.where(np.isfinite(vr), words, BELOW_THRESHOLD).astype(np.uint8)


def cut_velocities(el_deg, rng, az_deg, range_m, noise=0.7):
    """True and folded radial velocities (rays, gates) of one elevation."""
    el = np.deg2rad(el_deg)
    az = np.deg2rad(az_deg)[:, None]
    height = _sample_data.beam_height(range_m[None, :], el)
    u, v = wind(height)
    true = (u * np.sin(az) + v * np.cos(az)) * np.cos(el) + rng.normal(0.0, noise, (az.size, 1))
    true = true + rng.normal(0.0, noise, true.shape)
    true[rng.random(true.shape) < 0.05] = np.nan
    folded = true - 2.0 * NYQUIST * np.floor((true + NYQUIST) / (2.0 * NYQUIST))
    return true, folded


# A split cut: 0.5 deg scanned twice (reflectivity alone, then Doppler), then
# 1.5 deg Doppler alone. Range-folded gates: a sector of the first Doppler sweep.
CUTS = (("surveillance", 0.5), ("doppler", 0.5), ("doppler", 1.5), ("doppler", 3.0))


def volume_radials(seed=0, constant=()):
    """The radials of the volume and the (true, words) of each Doppler cut;
    the Doppler cuts numbered in ``constant`` hold the word 2 at every gate."""
    rng = np.random.default_rng(seed)
    az_deg = (np.arange(N_RAYS) + 0.5) * (360.0 / N_RAYS)
    range_m = FIRST_GATE + GATE_SPACING * np.arange(N_GATES, dtype=np.float64)
    radials, truth = [], []
    for number, (kind, el) in enumerate(CUTS, start=1):
        ref = np.full(N_GATES * 2, 100, dtype=np.uint8)
        moments = [moment_block(b"REF", ref, FIRST_GATE, GATE_SPACING, REF_SCALE, REF_OFFSET)]
        if kind == "doppler":
            true, folded = cut_velocities(el, rng, az_deg, range_m)
            words = velocity_words(folded)
            if len(truth) == 0:
                words[40:60, 10:] = RANGE_FOLDED
                true[40:60, 10:] = np.nan
            if len(truth) in constant:
                words[:] = CONSTANT_WORD
            truth.append((el, true, words))
        for k in range(N_RAYS):
            if k == 0:
                status = 3 if number == 1 else 0
            elif k == N_RAYS - 1:
                status = 4 if number == len(CUTS) else 2
            else:
                status = 1
            ray_moments = list(moments)
            if kind == "doppler":
                ray_moments.append(
                    moment_block(b"VEL", words[k], FIRST_GATE, GATE_SPACING, VEL_SCALE, VEL_OFFSET)
                )
            radials.append(
                message_31(az_deg[k], el, status, number, ray_moments, int(NYQUIST * 100))
            )
    return radials, truth, range_m, az_deg


def volume_header() -> bytes:
    return b"AR2V0006." + b"001" + struct.pack(">II4s", 20600, 75_600_000, b"KTLX")


def metadata() -> bytes:
    # 134 fixed-size records; empty ones (message type 0) are skipped by readers.
    return bytes(RECORD_BYTES * METADATA_RECORDS)


def write_archive(path: Path, *, ldm: bool, seed=0, constant=()):
    radials, truth, range_m, az_deg = volume_radials(seed, constant)
    if ldm:
        # Current archives: each LDM record is a 4-byte size and a bzip2 stream;
        # the first holds the metadata, the others up to 120 radials each.
        records = [metadata()] + [
            b"".join(radials[i : i + 120]) for i in range(0, len(radials), 120)
        ]
        body = b"".join(struct.pack(">i", len(c)) + c for c in (bz2.compress(r) for r in records))
    else:
        body = metadata() + b"".join(radials)
    path.write_bytes(volume_header() + body)
    return truth, range_m, az_deg


def run(*args: object) -> int:
    return main([str(a) for a in args])


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    path = tmp_path_factory.mktemp("nexrad") / "KTLX20260520_210000_V06"
    truth, range_m, az_deg = write_archive(path, ldm=True)
    return path, truth, range_m, az_deg


def test_reader_skips_the_surveillance_scan_and_masks_both_codes(archive):
    path, truth, range_m, _ = archive
    sweeps = _radar.open_volume(str(path))
    assert len(sweeps) == len(CUTS)
    assert "VEL" not in sweeps[0]  # the reflectivity-only scan of the split cut
    assert _radar.doppler_sweeps(sweeps, None) == [1, 2, 3]
    for sweep, (el, _, words) in zip(sweeps[1:], truth, strict=True):
        vel = sweep["VEL"].values
        np.testing.assert_array_equal(sweep["range"].values, range_m)
        assert float(sweep["nyquist_velocity"]) == NYQUIST
        np.testing.assert_allclose(sweep["elevation"].values, el)
        coded = (words == BELOW_THRESHOLD) | (words == RANGE_FOLDED)
        assert np.all(np.isnan(vel[coded])) and np.all(np.isfinite(vel[~coded]))
        np.testing.assert_array_equal(vel[~coded], (words[~coded] - VEL_OFFSET) / VEL_SCALE)
        assert np.nanmin(vel) >= -NYQUIST and np.nanmax(vel) <= NYQUIST
    assert (truth[0][2] == RANGE_FOLDED).sum() == 20 * (N_GATES - 10)
    assert float(sweeps[1]["altitude"]) == SITE[2] + SITE[3]


def test_archive_as_distributed_gives_the_unfolded_profile(archive, tmp_path):
    """The LDM-compressed archive, and the same archive gzip- and
    bzip2-compressed whole, give the same file; every ring is fitted from
    the Doppler sweeps only, no missing-data code enters a fit, and the wind
    is that of a fit to the true (unfolded, quantised) velocities."""
    path, truth, range_m, az_deg = archive
    out = tmp_path / "vad.nc"
    assert run("vad", path, "-o", out, "-q") == 0
    with xr.open_dataset(out) as ds:
        got = ds.load()
    assert list(got["sweep_number"].values) == [1, 2, 3]
    az = np.deg2rad(az_deg)
    for i, (el, true, words) in enumerate(truth):
        valid = (words != BELOW_THRESHOLD) & (words != RANGE_FOLDED)
        # The true velocity quantised as the words store it: what a perfect
        # unfolding of the words gives.
        folded = (words.astype(np.float64) - VEL_OFFSET) / VEL_SCALE
        unfolded = folded + 2.0 * NYQUIST * np.round((true - folded) / (2.0 * NYQUIST))
        unfolded[~valid] = np.nan
        ref = tarnwell.vad(
            unfolded.T,
            np.broadcast_to(az, (N_GATES, N_RAYS)),
            cos_el=np.cos(np.deg2rad(el)),
            min_gates=30,
            min_spread=0.2,
        )
        np.testing.assert_array_equal(got["n"].values[i], ref.n)
        in_profile = np.isfinite(got["u"].values[i])
        assert in_profile.mean() > 0.95
        np.testing.assert_array_equal(got["u"].values[i][in_profile], ref.u[in_profile])
        np.testing.assert_array_equal(got["v"].values[i][in_profile], ref.v[in_profile])
        u_true, v_true = wind(got["height"].values[i])
        err = np.hypot(got["u"].values[i] - u_true, got["v"].values[i] - v_true)
        assert np.nanmax(err) < 1.0
        # Fitting the folded words as they are would be far off.
        raw = tarnwell.vad(
            np.where(valid, folded, np.nan).T,
            np.broadcast_to(az, (N_GATES, N_RAYS)),
            cos_el=np.cos(np.deg2rad(el)),
            min_gates=30,
            min_spread=0.2,
        )
        assert np.nanmedian(np.hypot(raw.u - u_true, raw.v - v_true)) > 10.0
    assert got["quality_flag"].attrs["flag_meanings"].split()[0] == "in_profile"
    assert got.attrs["tarnwell_rings_in_profile"] == int(np.isfinite(got["u"].values).sum())
    content = path.read_bytes()
    for suffix, pack in ((".gz", gzip.compress), (".bz2", bz2.compress)):
        packed = tmp_path / (path.name + suffix)
        packed.write_bytes(pack(content))
        again = tmp_path / f"vad{suffix}.nc"
        assert run("vad", packed, "-o", again, "-q") == 0
        with xr.open_dataset(again) as ds:
            for name in ("u", "v", "rms", "n", "height"):
                np.testing.assert_array_equal(ds[name].values, got[name].values, err_msg=name)


def test_uncompressed_records_read_alike(archive, tmp_path):
    """The older uncompressed layout (records one after another) decodes to
    the same sweeps as the LDM-compressed one."""
    plain = tmp_path / "plain_V06"
    write_archive(plain, ldm=False)
    a = _radar.open_volume(str(archive[0]))
    b = _radar.open_volume(str(plain))
    assert len(a) == len(b)
    for sa, sb in zip(a[1:], b[1:], strict=True):
        np.testing.assert_array_equal(sa["VEL"].values, sb["VEL"].values)
        np.testing.assert_array_equal(sa["azimuth"].values, sb["azimuth"].values)


def test_unreadable_and_implausible_archives(tmp_path, capsys):
    broken = tmp_path / "broken_V06"
    broken.write_bytes(volume_header() + b"\x00\x00\x10\x00" + b"BZh91AY&SY" + b"\x01" * 500)
    out = tmp_path / "out.nc"
    assert run("vad", broken, "-o", out) == 1
    err = capsys.readouterr().err.strip()
    assert err.startswith("tarnwell vad: error:") and len(err.splitlines()) == 1
    bad_gz = tmp_path / "volume.gz"
    bad_gz.write_bytes(gzip.compress(b"0123456789")[:-6])
    assert run("vad", bad_gz, "-o", out) == 1
    assert "decompress" in capsys.readouterr().err
    assert not out.exists()


# Message 1 (archives before 2008): fixed 2432-byte records; reflectivity at
# 1 km, velocity at 250 m starting 375 m before the radar (a signed range).
MSG1_REF_GATES, MSG1_REF_SPACING, MSG1_REF_FIRST = 460, 1000, 0
MSG1_VEL_GATES, MSG1_VEL_SPACING, MSG1_VEL_FIRST = 920, 250, -375
MSG1_CUTS = (("surveillance", 0.5), ("doppler", 0.5), ("doppler", 2.4))
ANGLE_CODE = 32768.0 / 180.0


def message_1(az, el, status, el_number, ref, vel, nyquist_counts) -> bytes:
    doppler = vel is not None
    n_vel = MSG1_VEL_GATES if doppler else 0
    # Data pointers count bytes from the start of this header (100 bytes).
    header = struct.pack(
        ">IHhHHHHHhhhhHHHfHHHHH8s2s2s2shhhH32s",
        75_600_000,
        20600,
        4600,
        round(az * ANGLE_CODE),
        1,
        status,
        round(el * ANGLE_CODE),
        el_number,
        MSG1_REF_FIRST,
        MSG1_VEL_FIRST,
        MSG1_REF_SPACING,
        MSG1_VEL_SPACING,
        MSG1_REF_GATES,
        n_vel,
        0,
        0.0,
        100,
        100 + MSG1_REF_GATES if doppler else 0,
        100 + MSG1_REF_GATES + n_vel if doppler else 0,
        2,
        212,
        b"",
        b"",
        b"",
        b"",
        nyquist_counts if doppler else 0,
        0,
        0,
        0,
        b"",
    )
    body = header + ref.tobytes() + (vel.tobytes() * 2 if doppler else b"")
    message = CTM + message_header(16 + len(body), 1) + body
    return message + bytes(RECORD_BYTES - len(message))


def write_message_1_archive(path: Path, seed=3):
    rng = np.random.default_rng(seed)
    az_deg = np.arange(N_RAYS) + 0.5
    range_m = MSG1_VEL_FIRST + MSG1_VEL_SPACING * np.arange(MSG1_VEL_GATES, dtype=np.float64)
    ref = np.full(MSG1_REF_GATES, 100, dtype=np.uint8)
    records, truth = [], []
    for number, (kind, el) in enumerate(MSG1_CUTS, start=1):
        words = None
        if kind == "doppler":
            true, folded = cut_velocities(el, rng, az_deg, np.abs(range_m))
            far = range_m > 60_000.0  # echo only within 60 km
            true[:, far] = np.nan
            folded[:, far] = np.nan
            words = velocity_words(folded)
            truth.append((el, true, words))
        for k in range(N_RAYS):
            first, last = k == 0, k == N_RAYS - 1
            if first:
                status = 3 if number == 1 else 0
            else:
                status = (4 if number == len(MSG1_CUTS) else 2) if last else 1
            row = None if words is None else words[k]
            records.append(message_1(az_deg[k], el, status, number, ref, row, int(NYQUIST * 100)))
    header = volume_header().replace(b"AR2V0006.", b"ARCHIVE2.")
    path.write_bytes(header + metadata() + b"".join(records))
    return truth, range_m, az_deg


def test_message_1_archive_ranges_and_codes(tmp_path):
    """The velocity gates keep their own 250 m spacing from -375 m (xradar
    0.13 puts them on the reflectivity's 1 km from 0 m, out to 919 km), the
    elevation and azimuth codes decode to degrees, and the folded velocities
    give the wind within 1 m/s."""
    path = tmp_path / "KTLX19990503_230000.bz2"
    plain = tmp_path / "plain"
    truth, range_m, az_deg = write_message_1_archive(plain)
    path.write_bytes(bz2.compress(plain.read_bytes()))
    sweeps = _radar.open_volume(str(path))
    assert _radar.doppler_sweeps(sweeps, None) == [1, 2]
    for sweep, (el, _, words) in zip(sweeps[1:], truth, strict=True):
        np.testing.assert_array_equal(sweep["range"].values, range_m)
        np.testing.assert_allclose(sweep["elevation"].values, el, atol=0.01)
        np.testing.assert_allclose(sweep["azimuth"].values, az_deg, atol=0.01)
        assert float(sweep["nyquist_velocity"]) == NYQUIST
        vel = sweep["VEL"].values
        coded = words == BELOW_THRESHOLD
        assert np.all(np.isnan(vel[coded]))
        np.testing.assert_array_equal(vel[~coded], (words[~coded] - VEL_OFFSET) / VEL_SCALE)
    out = tmp_path / "vad.nc"
    assert run("vad", path, "-o", out, "-q") == 0
    with xr.open_dataset(out) as ds:
        assert ds["range"].values.max() < 230_000.0
        u_true, v_true = wind(ds["height"].values)
        err = np.hypot(ds["u"].values - u_true, ds["v"].values - v_true)
        assert np.isfinite(err).sum() > 300 and np.nanmax(err) < 1.0


def test_velocities_beyond_nyquist_and_constant_sweeps_give_no_winds(archive, tmp_path, capsys):
    """Every word of the 3-degree cut is 2 (-63.5 m/s, beyond its 8 m/s Nyquist
    velocity): no folded measurement, so its gates are left out, counted and
    warned about, and the other cuts' profile is unchanged. A volume of that
    one velocity gives no winds, unfolded or not."""
    one = tmp_path / "one_V06"
    write_archive(one, ldm=True, constant=(2,))
    out, ref = tmp_path / "one.nc", tmp_path / "ref.nc"
    assert run("vad", archive[0], "-o", ref, "-q") == 0
    assert run("vad", one, "-o", out, "-q") == 0
    err = capsys.readouterr().err
    gates = N_RAYS * N_GATES
    assert f"sweeps 3: {gates:,} of {gates:,} velocities lie beyond the Nyquist velocity" in err
    with xr.open_dataset(out) as got, xr.open_dataset(ref) as want:
        assert list(got["gates_beyond_nyquist"].values) == [0, 0, gates]
        assert got.attrs["tarnwell_gates_beyond_nyquist"] == gates
        assert np.all(got["quality_flag"].values[2] == _radar.FLAG_NO_ECHO)
        for name in ("u", "v", "rms", "n"):
            np.testing.assert_array_equal(got[name].values[:2], want[name].values[:2])
    every = tmp_path / "every_V06"
    write_archive(every, ldm=True, constant=(0, 1, 2))
    assert run("vad", every, "-o", out, "--overwrite") == 1
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and "no ring gave a wind" in err
    valid = sum(
        int((words > RANGE_FOLDED).sum()) for _, _, words in volume_radials(0, (0, 1, 2))[1]
    )
    assert f"{valid:,} velocities beyond the Nyquist velocity left out" in err
    assert run("vad", every, "-o", out, "--overwrite", "--no-unfold") == 1
    assert "3 sweeps of the single velocity -63.5 m/s" in capsys.readouterr().err
