# Compiler settings shared by every target of the project.

if(POLMON_OLD_STRING_ABI)
  add_compile_definitions(_GLIBCXX_USE_CXX11_ABI=0)
else()
  add_compile_definitions(_GLIBCXX_USE_CXX11_ABI=1)
endif()

if(POLMON_SANITIZE)
  add_compile_options(-fsanitize=${POLMON_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${POLMON_SANITIZE})
endif()
# Fuzz builds: every library reports its coverage to the fuzzers, which would search blind otherwise.
if(POLMON_BUILD_FUZZERS)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warnings are errors in everything we write (not in third-party code we build, such as GoogleTest).
function(polmon_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2 -Wcast-align
    -Woverloaded-virtual -Werror)
endfunction()

# Code that ships inside the plug-in: hidden by default, one section per function so the linker can drop what is unused.
function(polmon_plugin_code target)
  polmon_warnings(${target})
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
endfunction()

# Adds every folder beside the calling CMakeLists.txt that has a CMakeLists.txt of its own, in name
# order: tests, fuzzers and benchmarks keep one folder per component.
function(polmon_add_component_dirs)
  file(GLOB polmon_component_dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(polmon_component_dir ${polmon_component_dirs})
    if(IS_DIRECTORY ${polmon_component_dir} AND EXISTS ${polmon_component_dir}/CMakeLists.txt)
      add_subdirectory(${polmon_component_dir})
    endif()
  endforeach()
endfunction()
