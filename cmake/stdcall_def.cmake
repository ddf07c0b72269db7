# Writes a module-definition file with the functions of OBJECTS whose names
# start with PREFIX (see ferrox_stdcall_def in FerroxWin32.cmake):
#   cmake -DNM=<nm> -DPREFIX=<prefix> -DOUT=<file.def> -DOBJECTS=<a;b;...> -P stdcall_def.cmake
execute_process(COMMAND ${NM} --defined-only --extern-only ${OBJECTS} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(entries "")
foreach(line IN LISTS lines)
  # "00000000 T _FERROX_Open@8" (x86, decorated) or "... T FERROX_Open" (x64)
  if(line MATCHES " T _?(${PREFIX}[A-Za-z0-9_]*)(@[0-9]+)?$")
    set(name ${CMAKE_MATCH_1})
    set(bytes ${CMAKE_MATCH_2})
    if(bytes)
      # The linker knows the function as Name@N. The first entry exports it
      # under its plain name; the second under the decorated one ("==" names
      # the export), and gives the import library the symbol that callers
      # compiled with the header reference.
      list(APPEND entries "  ${name} = ${name}${bytes}" "  ${name}${bytes} == _${name}${bytes}")
    else()
      list(APPEND entries "  ${name}")
    endif()
  endif()
endforeach()
if(NOT entries)
  message(FATAL_ERROR "no function named ${PREFIX}... in ${OBJECTS}")
endif()
list(REMOVE_DUPLICATES entries)
list(SORT entries)
list(JOIN entries "\n" body)
file(WRITE ${OUT}.tmp "EXPORTS\n${body}\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
