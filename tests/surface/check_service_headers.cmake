# Installs the build into WORK_DIR/prefix, then against the installed headers
# and library: builds KEPT (a program using every member the service, handle,
# logger and configuration headers keep) and runs it in an empty directory,
# and compiles HIDDEN, whose lines marked "// hidden" (and only those) must be
# refused for access or a missing member. CXX_FLAGS are the build's own, so
# that a sanitizer build links its runtime into the program too.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK_DIR})
unset(ENV{LD_LIBRARY_PATH})

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out
        WORKING_DIRECTORY ${WORK_DIR}/run)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}")
    endif()
endfunction()

file(MAKE_DIRECTORY ${WORK_DIR}/run)
set(prefix ${WORK_DIR}/prefix)
# The library and its headers only: the tools need not be built.
foreach(component runtime dev)
    run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix} --component ${component})
endforeach()
file(GLOB_RECURSE library ${prefix}/*/libzvk-vorn.so)
get_filename_component(libdir ${library} DIRECTORY)
separate_arguments(flags UNIX_COMMAND "${CXX_FLAGS}")
set(strict -std=c++20 -Wall -Wextra -Wpedantic -Werror -I${prefix}/include)

run(${CXX} ${strict} ${flags} ${KEPT} -L${libdir} -lzvk-vorn -pthread -Wl,-rpath,${libdir}
    -o ${WORK_DIR}/kept)
run(${WORK_DIR}/kept)

get_filename_component(file_name ${HIDDEN} NAME)
file(READ ${HIDDEN} text)
# Semicolons and brackets would split or join CMake list elements; every
# line, empty ones too, must stay one element to keep its number.
string(REPLACE ";" "," text "${text}")
string(REPLACE "[" "(" text "${text}")
string(REPLACE "]" ")" text "${text}")
string(REPLACE "\n" ";" lines "${text}")
set(marked "")
set(number 0)
foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(line MATCHES "// hidden")
        list(APPEND marked ${number})
    endif()
endforeach()
execute_process(COMMAND ${CXX} ${strict} -fsyntax-only ${HIDDEN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REPLACE ";" "," out "${out}")
string(REPLACE "\n" ";" out_lines "${out}")
set(refused "")
foreach(line IN LISTS out_lines)
    if(line MATCHES "${file_name}:([0-9]+):[0-9]+: error: (.*)$")
        # The next MATCHES overwrites CMAKE_MATCH_<n>.
        set(at ${CMAKE_MATCH_1})
        set(why "${CMAKE_MATCH_2}")
        if(NOT why MATCHES "private|protected|has no member|no member named|is not a member")
            message(SEND_ERROR "${file_name}:${at}: not about access: ${why}")
        endif()
        list(APPEND refused ${at})
    endif()
endforeach()
list(REMOVE_DUPLICATES refused)
if(NOT refused STREQUAL marked)
    message(FATAL_ERROR "${file_name}: lines refused (${refused}) are not those marked hidden "
        "(${marked}):\n${out}")
endif()
