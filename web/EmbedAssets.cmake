# cmake -DOUT=file.cpp -DFILES="a;b" -P EmbedAssets.cmake: writes the files as byte arrays with
# a lookup table by file name (the definition of FindAsset in web/Assets.h).
set(types_html "text/html; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_svg "image/svg+xml")
set(types_png "image/png")

set(arrays "")
set(table "")
set(i 0)
list(SORT FILES)
foreach(file ${FILES})
  get_filename_component(name ${file} NAME)
  get_filename_component(ext ${file} LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  if(NOT DEFINED types_${ext})
    message(FATAL_ERROR "no content type for ${name}")
  endif()
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char kAsset${i}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${types_${ext}}\", {reinterpret_cast<const char*>(kAsset${i}), ${size}}},\n")
  math(EXPR i "${i} + 1")
endforeach()

file(WRITE ${OUT}.tmp "// Generated from web/pages/ by web/EmbedAssets.cmake; do not edit.
#include \"web/Assets.h\"

namespace tavo {
namespace {
${arrays}
const TAsset kAssets[] = {
${table}};
}  // namespace

const TAsset* FindAsset(std::string_view name) {
  for (const TAsset& a : kAssets)
    if (a.Name == name) return &a;
  return nullptr;
}

}  // namespace tavo
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
