# Morlune.dll: the core with the Winsock seam, the library entry, the export
# list (names at fixed ordinals, undecorated) and the version resource.
enable_language(RC)

# Programs and the DLL side by side, so that tests and examples find it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The shipped export list has the plain names. On x86 the exports are
# __stdcall, whose symbols carry the argument bytes (IPComm@24): the link uses
# a decorated copy and --kill-at strips the decoration from the exported names.
# The linker would strip it from the import library too; dlltool rebuilds that
# with the decorated symbols a 32-bit host's compiler looks for. The
# argument counts are part of the interface; a signature that drifts from them
# no longer links.
set(morlune_def ${CMAKE_CURRENT_SOURCE_DIR}/src/frame/Morlune.def)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(morlune_argument_counts
    IPComm 6 IPGetData 5 IPSearch 1 IPSendData 5 IPSetIPAddr 3 IPget 5
    IPsend 5 IPsendBlack 4 iPonNet 3 ipCloseDevice 1 ipConnectDevice 2)
  file(READ ${morlune_def} def_text)
  while(morlune_argument_counts)
    list(POP_FRONT morlune_argument_counts name count)
    math(EXPR bytes "${count} * 4")
    string(REGEX REPLACE "([\n ])${name}( +@)" "\\1${name}@${bytes}\\2" def_text "${def_text}")
  endwhile()
  set(morlune_link_def ${CMAKE_CURRENT_BINARY_DIR}/Morlune-x86.def)
  file(CONFIGURE OUTPUT ${morlune_link_def} CONTENT "${def_text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${morlune_def})
else()
  set(morlune_link_def ${morlune_def})
endif()

add_library(morlune SHARED
  $<TARGET_OBJECTS:morlune_core>
  src/platform/win32.cpp
  src/frame/dllmain.cpp
  ${morlune_link_def}
  src/frame/version.rc)
target_include_directories(morlune PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
target_include_directories(morlune PRIVATE src)
target_link_libraries(morlune PRIVATE wsock32)
set_target_properties(morlune PROPERTIES
  OUTPUT_NAME Morlune
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".lib"
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# No runtime DLL of the compiler's: a host process gets KERNEL32, WSOCK32 and
# msvcrt only.
target_link_options(morlune PRIVATE -static -Wl,--no-undefined)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(morlune PRIVATE -Wl,--kill-at)
  add_custom_command(TARGET morlune POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${morlune_link_def} --dllname Morlune.dll
            --output-lib $<TARGET_LINKER_FILE:morlune>
    VERBATIM)
endif()
add_custom_command(TARGET morlune POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${CMAKE_CURRENT_SOURCE_DIR}/src/frame/Morlune.def $<TARGET_FILE_DIR:morlune>/Morlune.def
  VERBATIM)
