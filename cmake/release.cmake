# What turns a deliverable into a release binary: the project's version in its
# file properties, and its debug information kept in a file of its own.
# The code that goes into a deliverable is compiled with ${TW_DEBUG_INFO}.
# The finished file is signed when the build's environment names a
# certificate (cmake/sign.cmake), before anything packs it.

# tw_release_binary(TARGET VERSION RESOURCE_FILE)
# Compiles RESOURCE_FILE (which includes common/version.rc2) with tw_version.h
# for VERSION ("major.minor.patch"). With mingw the linked file is then
# stripped, and its debug information goes to <file>.debug beside it, which
# the binary names in its .gnu_debuglink section for gdb. MSVC and zig write
# a .pdb.
function(tw_release_binary target version resource)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "A release version has three numbers: ${version}")
  endif()
  set(TW_VERSION ${version})
  set(TW_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(TW_VERSION_MINOR ${CMAKE_MATCH_2})
  set(TW_VERSION_PATCH ${CMAKE_MATCH_3})
  set(header_dir ${CMAKE_BINARY_DIR}/version/${version})
  configure_file(${CMAKE_SOURCE_DIR}/common/tw_version.h.in ${header_dir}/tw_version.h @ONLY)

  target_sources(${target} PRIVATE ${resource})
  target_include_directories(${target} PRIVATE ${header_dir})
  # The resource compiler reports no header dependencies to the generator.
  set_property(SOURCE ${resource} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
    ${header_dir}/tw_version.h ${CMAKE_SOURCE_DIR}/common/version.rc2)

  # The resource compiler takes no compiler options.
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:${TW_DEBUG_INFO}>")
  if(MINGW AND TW_DEBUG_INFO_PDB)
    # zig's linker already wrote the debug information to a .pdb beside the binary.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE_NAME:${target}>
      WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
      VERBATIM)
  elseif(MINGW)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE_NAME:${target}>
      COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug $<TARGET_FILE_NAME:${target}>
      WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
      VERBATIM)
  elseif(MSVC)
    target_link_options(${target} PRIVATE /DEBUG /OPT:REF /OPT:ICF)
  endif()
  # After the stripping above: a signature covers the file as it ships.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
    VERBATIM)
endfunction()
