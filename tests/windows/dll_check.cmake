# Fails unless the DLL is PE32 for i386, exports exactly the twelve C entry points by their plain
# names, and imports nothing but Windows system DLLs (the C++ runtime, libgcc and winpthreads are
# linked in).
#   cmake -DOBJDUMP=<objdump> -DLIBRARY=<tollivar.dll> -P dll_check.cmake
set(required
  CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3
  DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3
  InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery)
# What Windows itself provides (case-insensitive names of the import table).
set(system_dlls
  kernel32.dll user32.dll advapi32.dll ws2_32.dll winhttp.dll version.dll ole32.dll
  oleaut32.dll winmm.dll msvcrt.dll shell32.dll bcrypt.dll)

execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY}
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump failed (${status}): ${errors}")
endif()
if(NOT listing MATCHES "file format pei-i386")
  message(FATAL_ERROR "not a PE32 i386 image")
endif()
if(NOT listing MATCHES "Characteristics 0x[0-9a-f]*\n[^\n]*\n?[^\n]*DLL")
  string(FIND "${listing}" "DLL" dll_flag)
  if(dll_flag EQUAL -1)
    message(FATAL_ERROR "the image is not marked as a DLL")
  endif()
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(in_exports FALSE)
set(exports "")
set(imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
    string(STRIP "${dll}" dll)
    list(APPEND imports "${dll}")
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(in_exports AND line STREQUAL "")
    set(in_exports FALSE)
  endif()
endforeach()

list(SORT exports)
set(expected ${required})
list(SORT expected)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exports are wrong:\n  found: ${exports}\n  expected: ${expected}")
endif()
set(foreign "")
foreach(dll IN LISTS imports)
  list(FIND system_dlls "${dll}" known)
  if(known EQUAL -1 AND NOT dll MATCHES "^api-ms-win-")
    list(APPEND foreign "${dll}")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "imports DLLs that are not part of Windows: ${foreign}")
endif()
list(LENGTH exports count)
message(STATUS "PE32 i386 DLL, ${count} exports as expected, imports: ${imports}")
