# Runs zerkactl once as a real process and checks its exit code, its standard
# error line and its standard output byte for byte.
#   -DEMULATOR=  (optional, the Wine runner)  -DZERKACTL=  -DSUBCOMMAND=  -DINPUT=
#   -DEXPECT_EXIT=  -DEXPECT_STDERR=  -DEXPECT_STDOUT=  (a file; empty means no output)
#   -DWORK=  (a scratch directory)
file(MAKE_DIRECTORY "${WORK}")
set(actual_out "${WORK}/stdout")
set(command ${ZERKACTL} ${SUBCOMMAND} ${INPUT})
if(EMULATOR)
  set(command ${EMULATOR} ${command})
endif()
execute_process(COMMAND ${command}
  RESULT_VARIABLE rc
  OUTPUT_FILE "${actual_out}"
  ERROR_VARIABLE err)
if(NOT rc STREQUAL EXPECT_EXIT)
  message(FATAL_ERROR "exit ${rc}, expected ${EXPECT_EXIT}; stderr: ${err}")
endif()
if(NOT err STREQUAL "${EXPECT_STDERR}\n")
  message(FATAL_ERROR "stderr was [${err}], expected [${EXPECT_STDERR}\\n]")
endif()
if(EXPECT_STDOUT)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${actual_out}" "${EXPECT_STDOUT}"
    RESULT_VARIABLE differs)
  if(differs)
    file(READ "${actual_out}" got)
    message(FATAL_ERROR "stdout differs from ${EXPECT_STDOUT}:\n${got}")
  endif()
else()
  file(SIZE "${actual_out}" size)
  if(NOT size EQUAL 0)
    message(FATAL_ERROR "stdout was not empty (${size} bytes)")
  endif()
endif()
