// Array arguments and results as every kernel entry sees them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <thread>
#include <vector>

#include "parallel/parallel_for.hpp"

namespace tarnwell {

namespace py = pybind11;

// Any array-like argument: NumPy converts it to a C-ordered, aligned float64
// array, casting or copying only when the object is not one already. The
// kernels load doubles through plain pointers, which is only defined at an
// 8-byte boundary; an unaligned buffer (np.frombuffer at an odd offset, a
// field of a packed record) is rare, and NumPy's copy of it keeps every bit.
using farray = py::array_t<double, py::array::c_style | py::array::forcecast |
                                       py::detail::npy_api::NPY_ARRAY_ALIGNED_>;
// A result: a fresh, owned, writeable, C-ordered float64 array.
using result_array = py::array_t<double>;

inline int64_t ndim(const farray& a) { return static_cast<int64_t>(a.ndim()); }

// Extent of axis k; IndexError "invalid axis: k (ndim = n)" when k is out of range.
inline int64_t extent(const farray& a, int64_t k) {
    return static_cast<int64_t>(a.shape(static_cast<py::ssize_t>(k)));
}

// Product of the extents: 1 for a 0-d array, 0 when any extent is 0.
inline int64_t count(const farray& a) { return static_cast<int64_t>(a.size()); }

inline const double* rptr(const farray& a) { return a.data(); }

// Writable data; std::domain_error "array is not writeable" for a read-only array.
inline double* wptr(result_array& a) { return a.mutable_data(); }

// New uninitialised result; the kernel must write every element.
inline result_array make_result(std::initializer_list<int64_t> shape) {
    std::vector<py::ssize_t> s(shape.begin(), shape.end());
    return result_array(s);
}

// Takes the interpreter lock back after a call ran without it. A daemon
// thread that asks for the lock while the interpreter is finalizing is ended
// by Python 3.12 with pthread_exit, whose forced unwind would run through this
// call's frames (std::terminate in a noexcept destructor, or Python references
// dropped without the lock). Such a thread parks here instead, holding nothing
// the exiting process needs, as later Pythons park it themselves. Nothing else
// can leave PyEval_RestoreThread by unwinding (it is C), and the forced unwind
// is caught with `...`: it carries no C++ object to bind a reference to.
inline void retake_lock(PyThreadState* saved) {
    try {
        PyEval_RestoreThread(saved);
    } catch (...) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

// Runs `loop` with the interpreter lock released for its whole span (also
// when there is no work) and takes it back on every exit path. The lock is
// taken back by hand rather than by a scoped guard's destructor, which is
// noexcept and would turn the finalization unwind above into std::terminate.
template <class Loop>
void without_lock(const Loop& loop) {
    PyThreadState* saved = PyEval_SaveThread();
    try {
        loop();
    } catch (...) {
        retake_lock(saved);
        throw;
    }
    retake_lock(saved);
}

// Runs the chunked loop with the interpreter lock released. The body may only
// touch raw pointers.
template <class Body>
void run_released(int64_t n, int64_t grain, int32_t n_threads, const Body& body) {
    without_lock([&] { parallel_for(n, grain, n_threads, body); });
}

// As run_released, for a body that takes a whole chunk [first, last) at once.
template <class ChunkBody>
void run_released_chunks(int64_t n, int64_t grain, int32_t n_threads, const ChunkBody& body) {
    without_lock([&] { parallel_chunks(n, grain, n_threads, body); });
}

}  // namespace tarnwell
