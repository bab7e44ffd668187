# cmake -P script: install into WORK_DIR/prefix, then build and run the
# consumer through find_package and through pkg-config. Any failure stops it.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(JOIN " " line ${ARGN})
    message(FATAL_ERROR "failed (${status}): ${line}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(file include/morlune.h)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(GLOB_RECURSE libraries ${prefix}/*/libmorlune.so)
file(GLOB_RECURSE configs ${prefix}/*/MorluneConfig.cmake)
file(GLOB_RECURSE pcfiles ${prefix}/*/morlune.pc)
foreach(list libraries configs pcfiles)
  list(LENGTH ${list} count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one of ${list} in ${prefix}, found: ${${list}}")
  endif()
endforeach()
get_filename_component(libdir ${libraries} DIRECTORY)
get_filename_component(pcdir ${pcfiles} DIRECTORY)

# Through find_package(Morlune): Morlune::morlune brings the header directory.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${WORK_DIR}/cmake-build/consumer)
message(STATUS "find_package: ${LAST_OUTPUT}")

# Through pkg-config, with nothing but the .pc file's directory to go on.
find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(${PKG_CONFIG} --modversion morlune)
string(STRIP "${LAST_OUTPUT}" version)
if(NOT version MATCHES "^1\\.0\\.")
  message(FATAL_ERROR "pkg-config reports version '${version}'")
endif()
run(${PKG_CONFIG} --cflags --libs morlune)
string(STRIP "${LAST_OUTPUT}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} ${CONSUMER_DIR}/consumer.c -o ${WORK_DIR}/consumer-pc ${flags} -Wl,-rpath,${libdir})
run(${WORK_DIR}/consumer-pc)
message(STATUS "pkg-config (${flags}): ${LAST_OUTPUT}")

# The installed client finds the installed library by itself.
if(EXISTS ${prefix}/bin/morlune)
  run(${prefix}/bin/morlune --help)
endif()
