# Checks what a user's player sees of xmp_plovane.dll: exactly one export,
# XMPDSP_GetInterface2, undecorated and removing its two stack arguments
# itself; imports from KERNEL32 and USER32 only, and no keyboard hook or
# system-registered hot key among them; nothing of a C or C++ runtime (no
# thread-local storage, no exception or unwind tables, no initializer
# sections); a header that says so (DYNAMIC_BASE, NX_COMPAT, NO_SEH); with
# MAP and ENTRY (the link map and the entry routine's symbol), that the
# image's entry point is that routine itself; and, with MAX_SIZE, its size
# in bytes.
#   cmake -DDLL=path -DOBJDUMP=i686-w64-mingw32-objdump [-DMAX_SIZE=n] -P CheckDllInterface.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read ${DLL}")
endif()

# Every exported address, and the name table: "[   0] XMPDSP_GetInterface2".
string(REGEX MATCHALL "\\[ *[0-9]+\\] \\+base\\[" addresses "${headers}")
list(LENGTH addresses address_count)
set(names_exported "")
string(FIND "${headers}" "[Ordinal/Name Pointer] Table\n" at)
if(at GREATER -1)
  string(SUBSTRING "${headers}" ${at} -1 name_table)
  string(FIND "${name_table}" "\n\n" end)
  string(SUBSTRING "${name_table}" 0 ${end} name_table)
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${name_table}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" entry "${entry}")
    list(APPEND names_exported "${entry}")
  endforeach()
endif()
if(NOT address_count EQUAL 1 OR NOT names_exported STREQUAL "XMPDSP_GetInterface2")
  message(FATAL_ERROR "exports must be exactly XMPDSP_GetInterface2; found ${address_count} addresses, names: ${names_exported}")
endif()

set(allowed KERNEL32.dll USER32.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" name "${line}")
  string(STRIP "${name}" name)
  string(TOUPPER "${name}" upper)
  set(ok FALSE)
  foreach(a IN LISTS allowed)
    string(TOUPPER "${a}" a_upper)
    if(upper STREQUAL a_upper)
      set(ok TRUE)
    endif()
  endforeach()
  if(NOT ok)
    message(FATAL_ERROR "imports ${name}: only KERNEL32 and USER32 are allowed (no runtime library)")
  endif()
  list(APPEND names ${name})
endforeach()

# No runtime inside: its sections, and a thread-local storage directory,
# would show it.
execute_process(COMMAND ${OBJDUMP} -h ${DLL} OUTPUT_VARIABLE sections)
foreach(section .tls .CRT .eh_frame .gcc_except_table .pdata .xdata .debug_info)
  string(FIND "${sections}" " ${section} " at)
  if(at GREATER -1)
    message(FATAL_ERROR "has a ${section} section: a runtime's, or exception tables")
  endif()
endforeach()
if(NOT headers MATCHES "Entry 9 00000000 00000000 Thread Storage Directory")
  message(FATAL_ERROR "has a thread-local storage directory")
endif()
foreach(flag DYNAMIC_BASE NX_COMPAT NO_SEH)
  if(NOT headers MATCHES "DllCharacteristics[^\n]*\n([ \t]+[A-Z_]+\n)*[ \t]+${flag}\n")
    message(FATAL_ERROR "its DLL characteristics lack ${flag}")
  endif()
endforeach()

# The keys are polled: nothing that hooks the keyboard or registers a hot key.
string(REGEX MATCH "(SetWindowsHookEx[AW]?|RegisterHotKey|RegisterRawInputDevices)" hook "${headers}")
if(hook)
  message(FATAL_ERROR "imports ${hook}: the keys must be polled, not hooked or registered")
endif()

# Callee-cleaned, two stack arguments: the routine returns with "ret $0x8".
# The DLL has no symbols, so its code is found through the export table.
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${headers}")
set(image_base ${CMAKE_MATCH_1})
string(REGEX MATCH "\\+base\\[ *1\\] ([0-9a-fA-F]+) Export RVA" _ "${headers}")
set(export_rva ${CMAKE_MATCH_1})
if(NOT image_base OR NOT export_rva)
  message(FATAL_ERROR "cannot find the export's address")
endif()
math(EXPR start "0x${image_base} + 0x${export_rva}" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR stop "${start} + 256" OUTPUT_FORMAT HEXADECIMAL)
execute_process(COMMAND ${OBJDUMP} -d --start-address=${start} --stop-address=${stop} ${DLL}
                OUTPUT_VARIABLE code RESULT_VARIABLE failed)
string(REGEX MATCH "\tret[^\n]*" first_ret "${code}")
if(failed OR NOT first_ret MATCHES "ret +\\$0x8")
  message(FATAL_ERROR "XMPDSP_GetInterface2 does not return with ret $0x8 (first return: '${first_ret}'):\n${code}")
endif()

# The image's entry point is our entry routine, with nothing of a runtime
# around it: with no thread-local storage callbacks either, the loader runs
# nothing of ours after the routine's process detach returns.
if(MAP)
  file(READ ${MAP} map)
  # The map names 32-bit symbols without their leading underscore.
  string(REGEX REPLACE "^_" "" entry_name "${ENTRY}")
  string(REGEX MATCH "\n[ \t]+0x0*([0-9a-fA-F]+)[ \t]+_?${entry_name}\n" _ "${map}")
  set(entry_address ${CMAKE_MATCH_1})
  string(REGEX MATCH "AddressOfEntryPoint[ \t]+([0-9a-fA-F]+)" _ "${headers}")
  math(EXPR image_entry "0x${image_base} + 0x${CMAKE_MATCH_1}" OUTPUT_FORMAT HEXADECIMAL)
  if(NOT entry_address OR NOT image_entry STREQUAL "0x${entry_address}")
    message(FATAL_ERROR "the image's entry point (${image_entry}) is not ${ENTRY} (0x${entry_address})")
  endif()
endif()

if(MAX_SIZE)
  file(SIZE ${DLL} size)
  if(size GREATER MAX_SIZE)
    message(FATAL_ERROR "${DLL} is ${size} bytes, more than ${MAX_SIZE}")
  endif()
  message(STATUS "size: ${size} bytes (at most ${MAX_SIZE})")
endif()

message(STATUS "exports: XMPDSP_GetInterface2; imports: ${names}")
