/* Force-included into every C++ unit of the zig builds (zig-toolchain.cmake).
 *
 * The shared layer's entry points rethrow abi::__forced_unwind, the type under
 * which GNU's C++ runtime shows the unwinding of a cancelled thread to catch
 * clauses, so that catch (...) cannot stop it. zig links LLVM's runtime
 * (libc++abi), which has no such type: there a forced unwind never enters a
 * catch clause at all, it only runs cleanups. Declaring the type here, never
 * thrown, keeps the catch clause compiling and the behaviour the same.
 */
#ifndef VPC_LIBCXXABI_COMPAT_H
#define VPC_LIBCXXABI_COMPAT_H
#ifdef __cplusplus
#include <cxxabi.h>
#ifdef _LIBCPPABI_VERSION
namespace __cxxabiv1 {
// No virtual member, so no key function: each unit that catches it emits its
// type information itself (an undefined reference would fail at import).
class __forced_unwind {};
}  // namespace __cxxabiv1
#endif
#endif
#endif
