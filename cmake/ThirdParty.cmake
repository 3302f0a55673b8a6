# The tools' third-party libraries, one name each on every system: polmon::lua (polmon-host's
# station scripts), polmon::pcap (captures) and polmon::httplib (polmon-platform's web view).
# Linux takes Debian's packages; Windows builds them from Debian's source packages at pinned
# versions (scripts/windows-deps.sh), statically, so each program needs nothing beyond Windows.
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(POLMON_LUA REQUIRED IMPORTED_TARGET GLOBAL lua5.4)
  pkg_check_modules(POLMON_PCAP REQUIRED IMPORTED_TARGET GLOBAL libpcap)
  pkg_check_modules(POLMON_HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)
  add_library(polmon::lua ALIAS PkgConfig::POLMON_LUA)
  add_library(polmon::pcap ALIAS PkgConfig::POLMON_PCAP)
  add_library(polmon::httplib ALIAS PkgConfig::POLMON_HTTPLIB)
  # The notices the bundle carries for what the tools link.
  set(POLMON_THIRD_PARTY_NOTICES /usr/share/doc/libcpp-httplib-dev/copyright)
  return()
endif()

set(deps ${CMAKE_BINARY_DIR}/third-party)
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows-deps.sh ${deps} ${CMAKE_TOOLCHAIN_FILE}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "the Windows tools' third-party libraries did not build (scripts/windows-deps.sh)")
endif()

# Lua compiled here with the tools' own compiler: its library sources, not its two programs.
file(GLOB lua_sources ${deps}/src/lua5.4/src/*.c)
list(FILTER lua_sources EXCLUDE REGEX "/luac?\\.c$")
add_library(polmon_lua STATIC ${lua_sources})
target_include_directories(polmon_lua SYSTEM PUBLIC ${deps}/src/lua5.4/src)
add_library(polmon::lua ALIAS polmon_lua)

add_library(polmon_pcap STATIC IMPORTED GLOBAL)
set_target_properties(polmon_pcap PROPERTIES IMPORTED_LOCATION ${deps}/prefix/lib/libpcap.a
  INTERFACE_INCLUDE_DIRECTORIES ${deps}/prefix/include INTERFACE_LINK_LIBRARIES ws2_32)
add_library(polmon::pcap ALIAS polmon_pcap)

add_library(polmon_httplib INTERFACE)
target_include_directories(polmon_httplib SYSTEM INTERFACE ${deps}/prefix/include)
target_link_libraries(polmon_httplib INTERFACE ws2_32)
add_library(polmon::httplib ALIAS polmon_httplib)

set(POLMON_THIRD_PARTY_NOTICES ${deps}/licences/lua5.4.copyright ${deps}/licences/libpcap.copyright
  ${deps}/licences/cpp-httplib.copyright)
