# Writes OUT, a C++ file that holds the status page's files (in DIR) as string literals.
# Run at build time (cmake -P), so an edit of a page file rebuilds only this one file.
set(delimiter "mintrakel_page")
set(body "// Generated from src/monitor/page/ by embed.cmake; edit those files instead.\n")
string(APPEND body "#include \"monitor/status_page.h\"\n\nnamespace orvo::qel {\n")
foreach(pair "index.html:status_page_html" "page.js:status_page_script"
             "page.css:status_page_style")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 file)
  list(GET pair 1 function)
  file(READ "${DIR}/${file}" text)
  string(FIND "${text}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the literal's closing delimiter")
  endif()
  string(APPEND body "\nstd::string_view ${function}() {\n"
                     "    return R\"${delimiter}(${text})${delimiter}\";\n}\n")
endforeach()
string(APPEND body "\n}  // namespace orvo::qel\n")
file(WRITE "${OUT}.new" "${body}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
