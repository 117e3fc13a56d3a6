# Packs the release zip for Windows users from a finished build:
#   cmake -DROOT=source -DBUILD=build -DZIP=file.zip -P dist.cmake
# Flat, so that minimal_host.c finds comrelay.h beside it; the README becomes
# README.txt with Windows line ends.
foreach(v ROOT BUILD ZIP)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "dist.cmake needs -D${v}=...")
  endif()
endforeach()

get_filename_component(out ${ZIP} DIRECTORY)
set(stage ${out}/stage)
file(REMOVE_RECURSE ${stage})
file(REMOVE ${ZIP})
file(MAKE_DIRECTORY ${stage})
file(COPY ${BUILD}/comrelay.dll ${BUILD}/comrelay-host.exe ${ROOT}/include/comrelay.h
          ${ROOT}/examples/minimal_host.c DESTINATION ${stage})
file(READ ${ROOT}/README.md readme)
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${stage}/README.txt "${readme}")

set(files comrelay.dll comrelay-host.exe comrelay.h minimal_host.c README.txt)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip -- ${files}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not write ${ZIP}")
endif()
file(REMOVE_RECURSE ${stage})
