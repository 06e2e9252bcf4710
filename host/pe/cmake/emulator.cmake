# Kernels built without 32-bit process support (no IA32 emulation) cannot exec
# i386 programs. When a probe program does not run, tests and tools run under
# the user-mode emulator instead.
set(_probe_src ${CMAKE_BINARY_DIR}/CMakeFiles/i386_probe.cpp)
file(WRITE ${_probe_src} "int main() { return 0; }\n")
try_compile(_probe_built ${CMAKE_BINARY_DIR}/CMakeFiles/i386_probe ${_probe_src}
            COPY_FILE ${CMAKE_BINARY_DIR}/CMakeFiles/i386_probe.bin)
if(NOT _probe_built)
  message(FATAL_ERROR "The 32-bit toolchain cannot build a program (g++-multilib installed?)")
endif()
execute_process(COMMAND ${CMAKE_BINARY_DIR}/CMakeFiles/i386_probe.bin
                RESULT_VARIABLE _probe_ran OUTPUT_QUIET ERROR_QUIET)
if(NOT _probe_ran EQUAL 0)
  find_program(USBETH_I386_EMULATOR qemu-i386)
  if(NOT USBETH_I386_EMULATOR)
    message(FATAL_ERROR "This kernel does not run i386 programs and qemu-i386 is not installed")
  endif()
  message(STATUS "i386 programs run under ${USBETH_I386_EMULATOR}")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${USBETH_I386_EMULATOR})
endif()
