# Fails unless the shared library defines exactly its twelve C entry points in the dynamic
# symbol table, and nothing else.
#   cmake -DNM=<nm> -DLIBRARY=<libtollivar.so> -P export_check.cmake
set(required
  CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3
  DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3
  InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed (${status}): ${errors}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(found "")
set(unexpected "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  # "<address> <type> <name>[@version]"
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  list(FIND required "${name}" in_required)
  if(in_required GREATER -1)
    list(APPEND found "${name}")
  else()
    list(APPEND unexpected "${line}")
  endif()
endforeach()

set(missing "")
foreach(name IN LISTS required)
  list(FIND found "${name}" index)
  if(index EQUAL -1)
    list(APPEND missing "${name}")
  endif()
endforeach()

if(unexpected OR missing)
  list(JOIN unexpected "\n  " unexpected_text)
  message(FATAL_ERROR "Exported symbols are wrong.\nUnexpected:\n  ${unexpected_text}\n"
                      "Missing: ${missing}")
endif()
list(LENGTH found count)
message(STATUS "${count} exports, all expected: ${found}")
