# The 32-bit host build: the host kernel, the hardware model, the test bed and
# the tests compiled for i386 Linux with the multilib toolchain, so that the
# x86 image of the driver can be loaded into the same process.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# The image calls host services with the 4-byte stack alignment of its
# platform; host code realigns where it needs 16 bytes.
set(CMAKE_C_FLAGS_INIT "-m32 -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-m32 -mstackrealign")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
