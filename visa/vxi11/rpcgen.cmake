# The one rule that turns vxi11.x into C: the library, the simulator, the
# test instrument and the fuzz build all call it.
#
# fw_vxi11_rpcgen(<dir> [SERVER]) writes into <dir>:
#   vxi11.h      types, the protocol's constants and XDR prototypes (rpcgen -h)
#   vxi11_xdr.c  the XDR routines that encode and decode those types (rpcgen -c)
#   vxi11_svc.c  with SERVER only: the server's dispatcher, without a main()
#                (rpcgen -m), for the in-test instrument
# -M everywhere: calls and procedures take their results through a pointer
# the caller provides instead of returning a static buffer, so the prototypes
# in vxi11.h are the thread-safe ones. No client stubs are generated: the
# library makes its calls through its own RPC stream.
find_program(RPCGEN rpcgen REQUIRED)

function(fw_vxi11_rpcgen dir)
  cmake_parse_arguments(arg "SERVER" "" "" ${ARGN})
  set(x ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/vxi11.x)
  set(outputs ${dir}/vxi11.h ${dir}/vxi11_xdr.c)
  set(server_commands)
  if(arg_SERVER)
    list(APPEND outputs ${dir}/vxi11_svc.c)
    set(server_commands COMMAND ${RPCGEN} -M -m -o vxi11_svc.c vxi11.x)
  endif()
  # Makefile generators enter the working directory before any command runs.
  file(MAKE_DIRECTORY ${dir})
  add_custom_command(
    OUTPUT ${outputs}
    # rpcgen names the header in the C files after its input path, so it
    # runs on a local copy to get a plain #include "vxi11.h".
    COMMAND ${CMAKE_COMMAND} -E copy ${x} ${dir}/vxi11.x
    COMMAND ${CMAKE_COMMAND} -E rm -f ${outputs}
    COMMAND ${RPCGEN} -M -h -o vxi11.h vxi11.x
    COMMAND ${RPCGEN} -M -c -o vxi11_xdr.c vxi11.x
    ${server_commands}
    WORKING_DIRECTORY ${dir}
    DEPENDS ${x}
    COMMENT "rpcgen: VXI-11 from vxi11.x"
    VERBATIM)
  # rpcgen's C compiles with its own warnings; ours stay clean.
  set_source_files_properties(${outputs} PROPERTIES COMPILE_OPTIONS "-w")
endfunction()
