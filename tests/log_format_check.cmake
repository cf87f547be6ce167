# The logger's format check, proved against the compiler: the probe's good
# case compiles with format warnings as errors, and every bad case is refused
# for its format. A bad case that compiles means the calls are unchecked
# (the attribute is gone, or its macro expands to nothing for this compiler).
#
# cmake -DCOMPILER=... -DSOURCE=... -DINCLUDES=a|b -DCASES=7 -P log_format_check.cmake
string(REPLACE "|" ";" include_list "${INCLUDES}")
set(include_flags)
foreach(dir ${include_list})
    list(APPEND include_flags "-I${dir}")
endforeach()

function(compile_probe number result_var output_var)
    execute_process(
        COMMAND ${COMPILER} -std=c++17 -fsyntax-only -Wall -Werror=format -DTVUT_PROBE=${number}
                ${include_flags} ${SOURCE}
        RESULT_VARIABLE result
        OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    set(${result_var} ${result} PARENT_SCOPE)
    set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

compile_probe(0 result output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the good calls do not compile:\n${output}")
endif()

foreach(number RANGE 1 ${CASES})
    compile_probe(${number} result output)
    if(result EQUAL 0)
        message(FATAL_ERROR "bad call ${number} of ${SOURCE} compiles: the log format is unchecked")
    endif()
    if(NOT output MATCHES "Werror=format|-Wformat")
        message(FATAL_ERROR "bad call ${number} failed, but not for its format:\n${output}")
    endif()
    message(STATUS "bad call ${number} refused")
endforeach()
