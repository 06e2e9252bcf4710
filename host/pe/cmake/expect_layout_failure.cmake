# Compiles the layout check with USBETH_LAYOUT_TEST_MOVE_FIELD (one host field
# moved) and passes only if the compile fails and names the moved field.
string(REPLACE "|" ";" include_dirs "${INCLUDES}")
set(args -m32 -std=c++17 -fsyntax-only -DUSBETH_HOST_KERNEL=1 -DUSBETH_LAYOUT_TEST_MOVE_FIELD)
foreach(dir IN LISTS include_dirs)
  list(APPEND args -I${dir})
endforeach()
execute_process(COMMAND ${CXX} ${args} ${SOURCE} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
if(rc EQUAL 0)
  message(FATAL_ERROR "the layout check accepted a host with ${EXPECT} moved")
endif()
string(FIND "${out}" "${EXPECT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the layout check failed without naming ${EXPECT}:\n${out}")
endif()
message(STATUS "refused, naming ${EXPECT}")
