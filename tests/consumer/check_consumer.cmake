# Puts the library into a temporary prefix, then configures and builds a
# two-line consumer against it, once through find_package and once through
# pkg-config, and runs both. MODE "install" installs the build tree; MODE
# "deb" builds the Debian packages with cpack, fails when lintian reports
# an error in them, and unpacks them with dpkg-deb -x. CXX_FLAGS are the
# build's own, so that a sanitizer build links its runtime into the
# consumer too.
file(REMOVE_RECURSE ${WORK_DIR})
unset(ENV{LD_LIBRARY_PATH})

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}")
    endif()
endfunction()

if(MODE STREQUAL "deb")
    find_program(DPKG_DEB dpkg-deb)
    find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
    find_program(LINTIAN lintian)
    if(NOT DPKG_DEB OR NOT DPKG_SHLIBDEPS OR NOT LINTIAN)
        message("SKIPPED: dpkg-dev and lintian are needed (scripts/deps.sh installs them)")
        return()
    endif()
    run(${CPACK} -G DEB --config ${BINARY_DIR}/CPackConfig.cmake -B ${WORK_DIR}/packages)
    file(GLOB debs ${WORK_DIR}/packages/*.deb)
    execute_process(COMMAND ${LINTIAN} --fail-on error ${debs}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    message("lintian:\n${out}")
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "lintian reports errors")
    endif()
    foreach(deb ${debs})
        run(${DPKG_DEB} -x ${deb} ${WORK_DIR}/root)
    endforeach()
    set(prefix ${WORK_DIR}/root/usr)
else()
    set(prefix ${WORK_DIR}/prefix)
    run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer/project -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
run(${WORK_DIR}/build/consumer_format)

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
    # The compile flags carry no language standard or other option that would
    # override the consumer's own (a -std=c++20 after -std=c++23): include
    # paths and defines only.
    execute_process(COMMAND ${PKG_CONFIG} --cflags zvk-vorn
        OUTPUT_VARIABLE cflags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(cflags UNIX_COMMAND "${cflags}")
    foreach(flag ${cflags})
        if(NOT flag MATCHES "^-[ID]")
            message(FATAL_ERROR "pkg-config --cflags zvk-vorn carries ${flag}")
        endif()
    endforeach()
    # As the README builds a program: the standard first, then what
    # pkg-config gives.
    separate_arguments(flags UNIX_COMMAND "-std=c++20 ${CXX_FLAGS} -Wl,--as-needed ${flags}")
    get_filename_component(libdir ${pc_dir} DIRECTORY)
    # The run path names the prefix's lib directory and nothing else, and as
    # DT_RUNPATH it serves only the program's own dependencies.
    run(${CXX} ${SOURCE_DIR}/tests/consumer/project/handle.cpp ${flags}
        -Wl,--enable-new-dtags -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer_pc)
    run(${WORK_DIR}/consumer_pc)
    # VORN_LOGF's program: {fmt} comes with zvk-vorn-format.
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs zvk-vorn-format
        OUTPUT_VARIABLE format_flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "pkg-config does not know zvk-vorn-format")
    endif()
    separate_arguments(format_flags UNIX_COMMAND "-std=c++20 ${CXX_FLAGS} ${format_flags}")
    run(${CXX} ${SOURCE_DIR}/tests/consumer/project/format.cpp ${format_flags}
        -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer_format_pc)
    run(${WORK_DIR}/consumer_format_pc)
else()
    message(STATUS "pkg-config not found: pkg-config consumer not checked")
endif()
