# Fails when a file of the tokenizing core or the column engine reaches a Python or pybind11 header, directly or
# through other headers, under any condition the preprocessor sees, or names one in an #include
# line it skips. Headers not found count too (-MG), so Python headers on the system include
# path change nothing.
#
#   cmake -DCXX=<compiler> -DSOURCE_DIR=<tree> [-DSTAMP=<file>] -P check_core_includes.cmake
set(core_dirs charlayer tokens tokenizers columns)
set(python_header "[<\"/]Python\\.h|[<\"/]pybind11/")
set(found "")
foreach(dir ${core_dirs})
  file(GLOB_RECURSE files "${SOURCE_DIR}/src/${dir}/*.hpp" "${SOURCE_DIR}/src/${dir}/*.cpp"
       "${SOURCE_DIR}/src/${dir}/*.h")
  foreach(file ${files})
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${lines})
      if(line MATCHES "${python_header}")
        list(APPEND found "${file}: ${line}")
      endif()
    endforeach()
    execute_process(COMMAND "${CXX}" -std=c++17 -x c++ -M -MG -w "-I${SOURCE_DIR}/src" "${file}"
                    OUTPUT_VARIABLE deps ERROR_VARIABLE errors RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      list(APPEND found "${file}: the preprocessor failed: ${errors}")
    elseif(deps MATCHES "[^ \n]*(Python\\.h|pybind11/)[^ \n]*")
      list(APPEND found "${file}: reaches ${CMAKE_MATCH_0}")
    endif()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " lines)
  message(FATAL_ERROR "The core (src/charlayer, src/tokens, src/tokenizers, src/columns) must not use Python:\n  ${lines}")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
