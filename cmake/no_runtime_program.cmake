# add_no_runtime_program(TARGET ENTRY SUBSYSTEM SOURCES...)
# A Windows program for Windows 2000 SP4 on a Pentium that links no C
# runtime: no exceptions, RTTI, unwind tables or stack protector, and ENTRY
# (the decorated name of its WINAPI entry point) in place of the runtime's
# start-up code. SUBSYSTEM is WIN32 (no console) or CONSOLE. The program goes
# into dist/.
function(add_no_runtime_program target entry subsystem)
  if(subsystem STREQUAL "WIN32")
    add_executable(${target} WIN32 ${ARGN})
  else()
    add_executable(${target} ${ARGN})
  endif()
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0500 WINVER=0x0500 UNICODE _UNICODE)
  target_compile_options(${target} PRIVATE -march=pentium -mtune=generic -fno-exceptions -fno-rtti
                                           -fno-asynchronous-unwind-tables -fno-stack-protector)
  target_link_options(${target} PRIVATE -nostdlib -nostartfiles -Wl,--entry=${entry} -s)
  target_link_libraries(${target} PRIVATE advapi32 kernel32 gcc)
  install(TARGETS ${target} RUNTIME DESTINATION .)
endfunction()
