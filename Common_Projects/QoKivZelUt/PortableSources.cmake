# The portable core: the code that reads and builds bytes and texts (cabinet
# tables and names, PE images, conditions, versions, GUID and SID text, blobs,
# checksum records, CRC-32, argument quoting, XML text), with no Windows
# header and no system call. The DLL compiles these sources; a native build
# makes a static library of the very same files (see fuzz/).
set(QKZ_PORTABLE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QKZ_PORTABLE_SOURCES
  ${QKZ_PORTABLE_DIR}/foundation/CommandLine.cpp
  ${QKZ_PORTABLE_DIR}/foundation/FileNames.cpp
  ${QKZ_PORTABLE_DIR}/values/GuidText.cpp
  ${QKZ_PORTABLE_DIR}/values/VersionText.cpp
  ${QKZ_PORTABLE_DIR}/security/SidText.cpp
  ${QKZ_PORTABLE_DIR}/condition/ConditionScanner.cpp
  ${QKZ_PORTABLE_DIR}/condition/ConditionText.cpp
  ${QKZ_PORTABLE_DIR}/condition/ConditionEval.cpp
  ${QKZ_PORTABLE_DIR}/condition/Evaluation.cpp
  ${QKZ_PORTABLE_DIR}/xml/XmlText.cpp
  ${QKZ_PORTABLE_DIR}/integrity/Crc32Kernels.cpp
  ${QKZ_PORTABLE_DIR}/integrity/CryptoBlob.cpp
  ${QKZ_PORTABLE_DIR}/integrity/ChecksumRecord.cpp
  ${QKZ_PORTABLE_DIR}/image/PeImage.cpp
  ${QKZ_PORTABLE_DIR}/image/ManifestText.cpp
  ${QKZ_PORTABLE_DIR}/archive/CabNames.cpp
  ${QKZ_PORTABLE_DIR}/archive/CabTables.cpp
  ${QKZ_PORTABLE_DIR}/archive/CabLimits.cpp
)

# The condition grammar, generated into the including directory's build tree.
find_package(BISON 3.5 REQUIRED)
bison_target(ConditionGrammar ${QKZ_PORTABLE_DIR}/condition/ConditionGrammar.y
             ${CMAKE_CURRENT_BINARY_DIR}/ConditionGrammar.cpp COMPILE_FLAGS "-Wall -Werror")
list(APPEND QKZ_PORTABLE_SOURCES ${BISON_ConditionGrammar_OUTPUTS})

# The same sources as a static library (for the programs and suites that call
# the portable code directly), with the boundary to the system given:
# foundation/Failure.cpp and CodePage.cpp on Windows, PortableSystem.cpp
# elsewhere.
function(qkz_add_portable_library boundary)
  add_library(QoKivZelPortable STATIC ${QKZ_PORTABLE_SOURCES} ${ARGV})
  target_compile_features(QoKivZelPortable PUBLIC cxx_std_17)
  target_compile_definitions(QoKivZelPortable PRIVATE QOKIVZELUT_STATIC)
  target_include_directories(QoKivZelPortable PUBLIC ${QKZ_PORTABLE_DIR} ${QKZ_PORTABLE_DIR}/../../include
                             PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
