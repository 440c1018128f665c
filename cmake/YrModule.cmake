# One object library per source folder. Object libraries keep every unit (static
# registrations included) in whatever links them; the layering between folders is
# recorded here and resolved by yr_link, which links the whole closure of a module
# directly (an object library's objects reach only its direct dependents).

define_property(GLOBAL PROPERTY YR_MODULES BRIEF_DOCS "modules" FULL_DOCS "all modules")

function(yr_add_module name)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(FILTER srcs EXCLUDE REGEX "/\\.#")
  set(cpp ${srcs})
  list(FILTER cpp INCLUDE REGEX "\\.cpp$")
  if(cpp)
    add_library(${name} OBJECT ${srcs})
    target_link_libraries(${name} PUBLIC yr_common)
    set_property(GLOBAL PROPERTY YR_OBJ_${name} ON)
  endif()
  set_property(GLOBAL PROPERTY YR_DEPS_${name} ${A_DEPS})
  set_property(GLOBAL APPEND PROPERTY YR_MODULES ${name})
endfunction()

# Collects name and everything below it, each once.
function(yr_closure out)
  set(todo ${ARGN})
  set(seen)
  while(todo)
    list(POP_FRONT todo m)
    if(NOT m IN_LIST seen)
      list(APPEND seen ${m})
      get_property(d GLOBAL PROPERTY YR_DEPS_${m})
      list(APPEND todo ${d})
    endif()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(yr_link target)
  yr_closure(mods ${ARGN})
  foreach(m ${mods})
    get_property(has GLOBAL PROPERTY YR_OBJ_${m})
    if(has)
      # Linking an object library adds its objects itself; naming them again links them twice.
      target_link_libraries(${target} PRIVATE ${m})
    endif()
  endforeach()
  target_link_libraries(${target} PRIVATE yr_common)
endfunction()
