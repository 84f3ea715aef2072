# cmake -DNM=<nm> -DLIBRARY=<libyrsystem.so> -P YrCheckExports.cmake
# cmake -DOBJDUMP=<objdump> -DCXXFILT=<c++filt> -DLIBRARY=<yrsystem.dll> -P YrCheckExports.cmake
#
# Fails when the library exports anything but its interface: every defined dynamic symbol
# (for a DLL: every name of its export table)
# must belong to namespace Yr or Qel (functions, data, vtables, type information), and none
# may be an STB_GNU_UNIQUE symbol, which would keep the library loaded after dlclose.
# AddressSanitizer's ODR markers of exported globals are allowed, and so is standard-library
# template code the compiler instantiates for exported types (weak, default visibility).
if(OBJDUMP)
  # The export table's name pointer lines read "[ordinal] name"; the names are demangled
  # and given the type letter T so that the rules below serve both formats.
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${LIBRARY}")
  endif()
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" entries "${table}")
  set(mangled "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${entry}")
    if(name MATCHES "^\\+base\\[")
      continue()  # a line of the export address table, not a name
    endif()
    # A thread-local variable of the library is exported as its emulated-TLS control
    # object; the name after the prefix is the variable's own.
    string(REGEX REPLACE "^__emutls_v\\." "" name "${name}")
    string(APPEND mangled "${name}\n")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/exports.txt "${mangled}")
  execute_process(COMMAND ${CXXFILT} INPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/exports.txt
                  OUTPUT_VARIABLE demangled RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${CXXFILT} failed")
  endif()
  string(REGEX REPLACE "([^\n]+)" "0 T \\1" listing "${demangled}")
else()
  execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
  endif()
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(count 0)
set(unexpected "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[0-9a-fA-F]* ([A-Za-z]) (.*)$")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  math(EXPR count "${count} + 1")
  if(type STREQUAL "u")
    list(APPEND unexpected "unique symbol: ${name}")
  elseif(name MATCHES "^(Yr|Qel)::"
         OR name MATCHES "^(typeinfo|typeinfo name|vtable|VTT|construction vtable|guard variable) for .*(Yr|Qel)::"
         OR name MATCHES "^__odr_asan[._]"
         OR (type MATCHES "^[WV]$" AND name MATCHES "^(std|__gnu_cxx)::"))
    continue()
  else()
    list(APPEND unexpected "${type} ${name}")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no exported symbols found in ${LIBRARY}")
endif()
if(unexpected)
  list(JOIN unexpected "\n  " text)
  message(FATAL_ERROR "${LIBRARY} exports symbols outside the interface:\n  ${text}")
endif()
message(STATUS "${count} exported symbols, all of the interface")
