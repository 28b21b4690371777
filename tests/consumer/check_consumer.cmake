# Installs the build tree into a temporary prefix, then configures and
# builds a two-line consumer against it, once through find_package and
# once through pkg-config, and runs both. CXX_FLAGS are the build's own,
# so that a sanitizer build links its runtime into the consumer too.
file(REMOVE_RECURSE ${WORK_DIR})
unset(ENV{LD_LIBRARY_PATH})

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}")
    endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer/project -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)

find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
    set(ENV{PKG_CONFIG_PATH} "")
    file(GLOB_RECURSE pc_files ${prefix}/*/zvk-vorn.pc)
    list(GET pc_files 0 pc_file)
    get_filename_component(pc_dir ${pc_file} DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} ${pc_dir})
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs zvk-vorn
        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "pkg-config does not know zvk-vorn")
    endif()
    separate_arguments(flags UNIX_COMMAND "${CXX_FLAGS} -Wl,--as-needed ${flags}")
    get_filename_component(libdir ${pc_dir} DIRECTORY)
    # The run path names the prefix's lib directory and nothing else, and as
    # DT_RUNPATH it serves only the program's own dependencies.
    run(${CXX} ${SOURCE_DIR}/tests/consumer/project/handle.cpp ${flags}
        -Wl,--enable-new-dtags -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer_pc)
    run(${WORK_DIR}/consumer_pc)
else()
    message(STATUS "pkg-config not found: pkg-config consumer not checked")
endif()
