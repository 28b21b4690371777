# Fails when a shared object exports a symbol of namespace zvk that belongs
# to no public class (one class per public header), such as zvk::detail.
# Mangled names are read, so that standard templates instantiated over
# public types (whose demangled names may begin with zvk:: as a return
# type) stay allowed.
cmake_minimum_required(VERSION 3.25)
file(GLOB headers ${SOURCE_DIR}/include/zvk/*.h ${SOURCE_DIR}/xmlutil/include/zvk/*.h)
set(classes "")
foreach(header ${headers})
    get_filename_component(class ${header} NAME_WE)
    list(APPEND classes ${class})
endforeach()

foreach(library ${VORN} ${XMLUTIL})
    execute_process(COMMAND ${NM} -D --defined-only ${library}
        OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${NM} failed on ${library}")
    endif()
    string(REPLACE "\n" ";" symbols "${symbols}")
    foreach(line ${symbols})
        string(REGEX REPLACE "^[0-9a-f]* *[A-Za-z] " "" symbol "${line}")
        # _ZN3zvk6detail..., _ZTVN3zvk4Vorn..., _ZGVZN3zvk...: the name that
        # follows "3zvk" is <length><identifier>.
        if(symbol MATCHES "^_Z(T[VIST]|GV|Th[n0-9]+_|Tv[n0-9_]+_)?Z?N[rVKRO]*3zvk([0-9]+)(.*)$")
            string(SUBSTRING "${CMAKE_MATCH_3}" 0 ${CMAKE_MATCH_2} name)
            if(NOT name IN_LIST classes)
                message(SEND_ERROR "${library} exports ${symbol}")
            endif()
        endif()
    endforeach()
endforeach()
