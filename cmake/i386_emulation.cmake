# VESK_I386_EMULATED: whether i386 programs (the host32 tests, Wine's 32-bit
# side) run on this machine only under qemu's user-mode emulation, that is
# whether qemu-i386 is the binfmt_misc handler of i386 executables, as
# tools/install-deps.sh makes it on a kernel that runs no 32-bit x86 code.
set(VESK_I386_EMULATED OFF)
set(qemu_i386_handler /proc/sys/fs/binfmt_misc/qemu-i386)
if(EXISTS ${qemu_i386_handler})
  file(STRINGS ${qemu_i386_handler} handler_state LIMIT_COUNT 1)
  if(handler_state STREQUAL "enabled")
    set(VESK_I386_EMULATED ON)
  endif()
endif()
