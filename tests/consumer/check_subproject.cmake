# Configures, builds and runs a consumer that adds the library with
# add_subdirectory while GoogleTest and Google Benchmark are hidden from
# CMake, then checks that none of our tests, benchmarks, fuzz targets or
# examples came along.
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}")
    endif()
endfunction()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer/subproject -B ${WORK_DIR}
    -DZVK_SOURCE_DIR=${SOURCE_DIR} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
foreach(dir tests bench fuzz examples)
    if(EXISTS ${WORK_DIR}/zvk-vorn/${dir})
        message(FATAL_ERROR "${dir} configured in a project that only uses the library")
    endif()
endforeach()
run(${CMAKE_COMMAND} --build ${WORK_DIR} -j2)
run(${WORK_DIR}/consumer)
