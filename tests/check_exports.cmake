# Checks the image format of the DLL and that each exported family is present.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${DLL}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}")
  message(FATAL_ERROR "${DLL} is not ${FORMAT}")
endif()
# Mangled family names as they appear in the export table. CZelException is
# defined whole in its header and has nothing to export.
set(families 5CGuid 7WinPath 12ZelLogStream 6WinAPI 8ErrorW32 7ErrorHR 12ZelGetLogDir
  8KivSetup14ProductVersion 12ZelCondition 17FileVersionNumber 24CKIVSetupXmlCommunicator 5ZelUt7Process
  20AutoTerminateProcess 19ZelLockedModuleInfo 13RunSnapshot64 7CZelSid 7CZelAce 7CZelAcl 22CZelSecurityDescriptor
  10CZelSystem 9CZelTools 9WtsHelper 10FileHasher 13ZelMsiProduct 12ZelMsiRecord
  9ImageInfo 13ImageResolver 15ZelCabExtractor)
set(missing "")
foreach(f IN LISTS families)
  if(NOT dump MATCHES "${f}")
    list(APPEND missing ${f})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "exports lack: ${missing}")
endif()
message(STATUS "${DLL}: ${FORMAT}, exports include ${families}")
