# The self-extractor stub as users download it: no import of a system library
# the loader would look for beside it first, and a manifest that asks for the
# invoker's rights (no installer detection for a program named like a setup).
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${EXE}")
endif()
string(TOLOWER "${dump}" lowered)
foreach(library cabinet.dll version.dll dbghelp.dll)
  if(lowered MATCHES "dll name: ${library}")
    message(FATAL_ERROR "${EXE} imports ${library}")
  endif()
endforeach()
if(NOT dump MATCHES "Entry: ID: 0x000018")
  message(FATAL_ERROR "${EXE} has no manifest resource")
endif()
message(STATUS "${EXE}: no cabinet, version or dbghelp import; a manifest")
