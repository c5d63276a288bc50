# cmake -DOUTPUT=file -DFILES="a;b;..." -P sha256sums.cmake
# Writes the files' SHA-256 sums in the format that `sha256sum -c` reads.
set(text "")
foreach(file IN LISTS FILES)
  file(SHA256 ${file} sum)
  get_filename_component(name ${file} NAME)
  string(APPEND text "${sum}  ${name}\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
