# Our executable carries a version record like a Windows program file: the VS_VERSIONINFO bytes,
# generated at build time from the project version, in an ELF section of their own.
add_executable(tavo_gen_version common/gen/GenVersionRecord.cpp common/VersionRecordWriter.cpp
  common/VersionRecord.cpp common/Win1252.cpp)
target_include_directories(tavo_gen_version PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

set(TAVO_VERSION_RECORD_CPP ${CMAKE_CURRENT_BINARY_DIR}/generated/TavoVersionRecord.cpp)
set(TAVO_VERSION_RECORD_BIN ${CMAKE_CURRENT_BINARY_DIR}/generated/TavoVersionRecord.bin)
add_custom_command(
  OUTPUT ${TAVO_VERSION_RECORD_CPP} ${TAVO_VERSION_RECORD_BIN}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/generated
  COMMAND tavo_gen_version ${TAVO_VERSION_RECORD_CPP} ${TAVO_VERSION_RECORD_BIN}
    "CompanyName=Ker Vanta"
    "FileDescription=Ker Vanta TAVO Server"
    "FileVersion=${PROJECT_VERSION}.0"
    "InternalName=TAVO_WServer"
    "LegalCopyright=Copyright © Ker Vanta"
    "OriginalFilename=TAVO_WServer.exe"
    "ProductName=TAVO"
    "ProductVersion=${PROJECT_VERSION}"
    "Comments=Staff-calling server for clinics"
  DEPENDS tavo_gen_version
  COMMENT "Generating the version record"
  VERBATIM)
target_sources(tavo PRIVATE ${TAVO_VERSION_RECORD_CPP})
# Nothing calls into the record, so make every program linking tavo pull it from the archive.
target_link_options(tavo INTERFACE "LINKER:--undefined=tavo_version_record")
