# Makes the copy of giflib's static library that the GIF recorder links: its
# calls to malloc, calloc, realloc and free renamed to the recording's tracked
# allocator (gfx/gif_memory.h). giflib has no allocator hook of its own.
#
# cmake -DOBJCOPY=... -DNM=... -DINPUT=libgif.a -DOUTPUT=libgif_tracked.a -P gif_tracked.cmake
#
# The copy is checked before it replaces the last one: it must call the hooks
# and no other allocator, so a giflib that allocates some other way stops the
# build here instead of leaking past the recording's table.
cmake_minimum_required(VERSION 3.22)

foreach(var OBJCOPY NM INPUT OUTPUT)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "gif_tracked.cmake: ${var} is not set")
  endif()
endforeach()

set(renamed malloc calloc realloc free)
set(redefine)
foreach(name IN LISTS renamed)
  list(APPEND redefine --redefine-sym "${name}=kvt_gif_${name}")
endforeach()

set(partial "${OUTPUT}.partial")
file(REMOVE "${partial}")
execute_process(COMMAND "${OBJCOPY}" ${redefine} "${INPUT}" "${partial}"
                RESULT_VARIABLE result ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  file(REMOVE "${partial}")
  message(FATAL_ERROR "${OBJCOPY} could not make the tracked copy of ${INPUT}: ${error}")
endif()

# Undefined symbols of the copy, one name a line.
execute_process(COMMAND "${NM}" --undefined-only --format=posix "${partial}"
                RESULT_VARIABLE result OUTPUT_VARIABLE listing ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  file(REMOVE "${partial}")
  message(FATAL_ERROR "${NM} could not list the symbols of ${partial}: ${error}")
endif()
string(REGEX MATCHALL "(^|\n)[^ \n]+" names "${listing}")
list(TRANSFORM names STRIP)
list(REMOVE_DUPLICATES names)

set(escaping)
foreach(name malloc calloc realloc free reallocarray strdup strndup aligned_alloc posix_memalign
             memalign valloc)
  if(name IN_LIST names)
    list(APPEND escaping ${name})
  endif()
endforeach()
if(escaping)
  file(REMOVE "${partial}")
  list(JOIN escaping ", " escaping)
  message(FATAL_ERROR "${INPUT} still allocates through ${escaping} after renaming: giflib's "
                      "memory would escape the GIF recording's tracked allocator (gfx/gif_memory.cpp)")
endif()
if(NOT "kvt_gif_malloc" IN_LIST names)
  file(REMOVE "${partial}")
  message(FATAL_ERROR "${INPUT} does not call malloc: not the giflib the GIF recorder was written for")
endif()

file(RENAME "${partial}" "${OUTPUT}")
