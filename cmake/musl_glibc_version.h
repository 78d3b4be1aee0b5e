/* Forced into every C++ unit of the static musl build: libstdc++'s
   headers test glibc's version with this macro, which musl does not define. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
