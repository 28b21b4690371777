# Fails when a shared object exports a symbol of namespace zvk that belongs
# to no public class (one class per public header), such as zvk::detail.
# Instantiations of standard templates over public types may stay exported.
file(GLOB headers ${SOURCE_DIR}/include/zvk/*.h ${SOURCE_DIR}/xmlutil/include/zvk/*.h)
set(classes "")
foreach(header ${headers})
    get_filename_component(class ${header} NAME_WE)
    list(APPEND classes ${class})
endforeach()
list(JOIN classes "|" classes)

foreach(library ${VORN} ${XMLUTIL})
    execute_process(COMMAND ${NM} -DC --defined-only ${library}
        OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${NM} failed on ${library}")
    endif()
    string(REPLACE "\n" ";" symbols "${symbols}")
    foreach(line ${symbols})
        string(REGEX REPLACE "^[0-9a-f]* *[A-Za-z] " "" symbol "${line}")
        if(symbol MATCHES "^([a-zA-Z ]+ for )?zvk::" AND
           NOT symbol MATCHES "^([a-zA-Z ]+ for )?zvk::(${classes})(::|$|\\()")
            message(SEND_ERROR "${library} exports ${symbol}")
        endif()
    endforeach()
endforeach()
