# The pages' files become one generated source: byte arrays and a table of them.
file(GLOB TAVO_WEB_PAGES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/web/pages/*)
set(TAVO_WEB_ASSETS_CPP ${CMAKE_CURRENT_BINARY_DIR}/generated/WebAssets.cpp)
add_custom_command(
  OUTPUT ${TAVO_WEB_ASSETS_CPP}
  COMMAND ${CMAKE_COMMAND} -DOUT=${TAVO_WEB_ASSETS_CPP} "-DFILES=${TAVO_WEB_PAGES}"
    -P ${CMAKE_CURRENT_SOURCE_DIR}/web/EmbedAssets.cmake
  DEPENDS ${TAVO_WEB_PAGES} ${CMAKE_CURRENT_SOURCE_DIR}/web/EmbedAssets.cmake
  COMMENT "Embedding the web pages"
  VERBATIM)
target_sources(tavo PRIVATE ${TAVO_WEB_ASSETS_CPP})
