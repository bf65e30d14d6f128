# SPDX-License-Identifier: Apache-2.0
# cmake -DOUTPUT=PageFiles.cpp -P EmbedPage.cmake FILE...: each file becomes a string of the
# dashboard, found by its name (PageFile("app.js")). Hex bytes, so no file's text can end the
# literal early.
set(body "")
set(entries "")
math(EXPR last "${CMAKE_ARGC} - 1")
set(index 0)
foreach(arg RANGE 0 ${last})
  set(path "${CMAKE_ARGV${arg}}")
  if(arg LESS 4 OR NOT EXISTS "${path}")
    continue()
  endif()
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR bytes "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," chars "${hex}")
  string(APPEND body "const char kFile${index}[] = {${chars} 0};\n")
  string(APPEND entries "    {\"${name}\", std::string_view(kFile${index}, ${bytes})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by EmbedPage.cmake from src/dashboard/page: do not edit.
#include <string_view>
#include \"dashboard/PageFiles.h\"
namespace uvq::dashboard {
namespace {
${body}
struct Entry { std::string_view name; std::string_view text; };
const Entry kEntries[] = {
${entries}};
}  // namespace
std::optional<std::string_view> PageFile(std::string_view name) {
  for (const Entry& entry : kEntries)
    if (entry.name == name) return entry.text;
  return std::nullopt;
}
}  // namespace uvq::dashboard
")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
