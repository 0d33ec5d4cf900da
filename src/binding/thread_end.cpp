// A thread ended in the middle of our code leaves our frames untouched.
//
// During the interpreter's finalisation CPython ends every daemon thread that
// asks for the interpreter lock again with pthread_exit, and glibc carries
// that out as a forced unwind run by the unwinder of libgcc_s. Such a thread
// is often inside our code: a C++ frame that called back into Python. Left to
// the C++ runtime, that unwind would
//   - enter our catch-all clauses and a coroutine body's implicit one, from
//     which no runtime can resume it safely (GNU's aborts with "exception not
//     rethrown" unless rethrown at once; LLVM's terminates on the rethrow);
//   - run our destructors, which release Python objects, in a thread that no
//     longer holds the interpreter lock;
//   - and, where the C++ runtime brings its own unwinder (the wheels link
//     LLVM's libunwind statically), hand libgcc's unwind context to that
//     other unwinder's functions, which crashes the process.
// So every frame of the package is passed over as it stands: the personality
// routine that the compiler names in each frame's unwind information is
// wrapped (the link option -Wl,--wrap=__gxx_personality_v0, set in
// CMakeLists.txt), and the wrapper lets a forced unwind go on to the caller's
// frame without running a landing pad. Nothing is lost by this: the thread is
// going away with the process, and what its frames held is left to the
// process, as the interpreter leaves the thread's own Python frames.
// C++ exceptions (every unwind that is not forced) take the usual way.

#include <unwind.h>

#if defined(__arm__) && !defined(__aarch64__)

// 32-bit ARM's exception handling ABI: the personality routine itself steps
// over the frame, with the unwinder in charge (libgcc_s's: the 32-bit ARM
// wheel links it, see cmake/zig-toolchain.cmake).
extern "C" _Unwind_Reason_Code __gnu_unwind_frame(_Unwind_Exception*, _Unwind_Context*);
extern "C" _Unwind_Reason_Code __real___gxx_personality_v0(_Unwind_State, _Unwind_Exception*, _Unwind_Context*);

extern "C" _Unwind_Reason_Code __wrap___gxx_personality_v0(_Unwind_State state, _Unwind_Exception* exception,
                                                           _Unwind_Context* context) {
    if (state & _US_FORCE_UNWIND)
        return __gnu_unwind_frame(exception, context) == _URC_OK ? _URC_CONTINUE_UNWIND : _URC_FAILURE;
    return __real___gxx_personality_v0(state, exception, context);
}

#else

// The Itanium ABI (x86_64, aarch64): the unwinder steps over the frame.
extern "C" _Unwind_Reason_Code __real___gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class,
                                                           _Unwind_Exception*, _Unwind_Context*);

extern "C" _Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                           _Unwind_Exception_Class exception_class,
                                                           _Unwind_Exception* exception, _Unwind_Context* context) {
    if (actions & _UA_FORCE_UNWIND) return _URC_CONTINUE_UNWIND;
    return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

#endif
