# cmake -DOUTPUT=file -DFILES="a;b;..." -P sha256sums.cmake
# Writes the files' SHA-256 sums in the format that `sha256sum -c` reads. An
# entry "NAME|PATH" lists PATH as NAME (a path inside the archive).
set(text "")
foreach(file IN LISTS FILES)
  if(file MATCHES "^([^|]+)\\|(.+)$")
    set(name ${CMAKE_MATCH_1})
    set(file ${CMAKE_MATCH_2})
  else()
    get_filename_component(name ${file} NAME)
  endif()
  file(SHA256 ${file} sum)
  string(APPEND text "${sum}  ${name}\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
