# The DLL, the tool and the tests share the dynamic MinGW runtime: exceptions
# thrown inside QoKivZelUt.dll are only catchable by callers that link the same
# libgcc/libstdc++ instance.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QKZ_LIBGCC_NAME libgcc_s_seh-1.dll)
else()
  set(QKZ_LIBGCC_NAME libgcc_s_dw2-1.dll)
endif()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE QKZ_LIBSTDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${QKZ_LIBGCC_NAME}
                OUTPUT_VARIABLE QKZ_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libwinpthread-1.dll
                OUTPUT_VARIABLE QKZ_WINPTHREAD OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(dll IN ITEMS ${QKZ_LIBSTDCXX} ${QKZ_LIBGCC} ${QKZ_WINPTHREAD})
  if(NOT IS_ABSOLUTE "${dll}" OR NOT EXISTS "${dll}")
    message(FATAL_ERROR "MinGW runtime DLL not found: ${dll}")
  endif()
  file(COPY ${dll} DESTINATION ${QKZ_BIN_DIR})
endforeach()
install(FILES ${QKZ_LIBSTDCXX} ${QKZ_LIBGCC} ${QKZ_WINPTHREAD} DESTINATION bin)
