/* The start code of the modules' shared objects on 32-bit ARM.
 *
 * It takes the place of the cross toolchain's crti.o, crtbeginS.o, crtendS.o
 * and crtn.o (the modules link with -nostartfiles). Debian builds those as
 * ARMv7 Thumb-2 code, and they run when the object is loaded, so linked into
 * a module they would make it fail with an illegal instruction on an ARMv6
 * core. This file is compiled with the modules' own flags (ARMv6, VFP, ARM
 * mode) and gives what those files give a C++ shared object on ARM Linux:
 *
 *  - __dso_handle, the identity of this shared object, which the compiler
 *    passes to __cxa_atexit for the destructors of its static objects;
 *  - the call of __cxa_finalize(&__dso_handle) when the object is unloaded,
 *    which runs those destructors while their code is still mapped.
 *
 * The rest of them is not needed there: the C library runs .init_array and
 * .fini_array itself (no _init/_fini), ARM unwinding finds its tables through
 * the program headers (no frame registration), and no transactional-memory
 * clone tables are used.
 */

void *const __dso_handle __attribute__((visibility("hidden"))) = (void *)&__dso_handle;

extern void __cxa_finalize(void *) __attribute__((weak));

static void __attribute__((destructor, used)) run_static_destructors(void) {
    if (__cxa_finalize) __cxa_finalize((void *)&__dso_handle);
}
