# No server source includes a header of a layer above its own.
add_test(NAME layers_include_one_way
         COMMAND ${TAVO_PYTHON3} ${PROJECT_SOURCE_DIR}/scripts/check-layers.py ${PROJECT_SOURCE_DIR})
