# zrreg serve: built in where cpp-httplib and nlohmann-json are there for the system the
# build is for (Debian's libcpp-httplib-dev has a shared library of the machine's own word
# size only); elsewhere, as in the 32-bit and the Windows builds, the verb says it is not
# built in. The server runs its connections through cpp-httplib's per-connection hook and
# stream (as 0.11 has them): the check compiles that too. ZR_HAVE_SERVE tells the tests.
option(ZR_SERVE "Build zrreg serve when cpp-httplib and nlohmann-json are there" ON)
set(ZR_HAVE_SERVE OFF)
if(ZR_SERVE AND NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZR_HTTPLIB QUIET cpp-httplib)
  endif()
  find_path(ZR_NLOHMANN_DIR nlohmann/json.hpp)
  if(ZR_HTTPLIB_FOUND AND ZR_NLOHMANN_DIR)
    include(CheckCXXSourceCompiles)
    include(CMakePushCheckState)
    cmake_push_check_state(RESET)
    set(CMAKE_REQUIRED_DEFINITIONS ${ZR_HTTPLIB_CFLAGS_OTHER})
    set(CMAKE_REQUIRED_INCLUDES ${ZR_HTTPLIB_INCLUDE_DIRS} ${ZR_NLOHMANN_DIR})
    set(CMAKE_REQUIRED_LIBRARIES ${ZR_HTTPLIB_LINK_LIBRARIES} Threads::Threads)
    check_cxx_source_compiles([[
#include <httplib.h>
#include <nlohmann/json.hpp>
int main() {
    httplib::Server s;
    return nlohmann::json::parse("1").get<int>() - 1 + (s.is_running() ? 1 : 0);
}]] ZR_SERVE_LINKS)
    if(ZR_SERVE_LINKS)
      check_cxx_source_compiles([[
#include <httplib.h>
struct Stream : httplib::Stream {
    bool is_readable() const override { return false; }
    bool is_writable() const override { return false; }
    ssize_t read(char*, size_t) override { return -1; }
    ssize_t write(const char*, size_t) override { return -1; }
    void get_remote_ip_and_port(std::string&, int&) const override {}
    void get_local_ip_and_port(std::string&, int&) const override {}
    int socket() const override { return -1; }
};
struct Server : httplib::Server {
    bool process_and_close_socket(int) override {
        Stream s;
        bool closed = false;
        return process_request(s, true, closed, nullptr) && svr_sock_ >= 0 && keep_alive_max_count_ > 0;
    }
};
int main() { return Server().is_running() ? 1 : 0; }]] ZR_SERVE_HOOKS)
    endif()
    cmake_pop_check_state()
    if(ZR_SERVE_LINKS AND ZR_SERVE_HOOKS)
      set(ZR_HAVE_SERVE ON)
    endif()
  endif()
endif()
if(ZR_HAVE_SERVE)
  message(STATUS "zrreg serve: built in (cpp-httplib ${ZR_HTTPLIB_VERSION}, nlohmann-json)")
  set(ZR_PAGE_FILES ${PROJECT_SOURCE_DIR}/tools/serve/index.html ${PROJECT_SOURCE_DIR}/tools/serve/app.js
                    ${PROJECT_SOURCE_DIR}/tools/serve/edit.js ${PROJECT_SOURCE_DIR}/tools/serve/live.js
                    ${PROJECT_SOURCE_DIR}/tools/serve/keys.js
                    ${PROJECT_SOURCE_DIR}/tools/serve/style.css)
  string(REPLACE ";" "|" ZR_PAGE_LIST "${ZR_PAGE_FILES}")
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/zrpage.cpp
    COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_BINARY_DIR}/zrpage.cpp -DFILES=${ZR_PAGE_LIST}
            -P ${PROJECT_SOURCE_DIR}/cmake/zrpage.cmake
    DEPENDS ${ZR_PAGE_FILES} ${PROJECT_SOURCE_DIR}/cmake/zrpage.cmake
    COMMENT "Building the page of zrreg serve into zrpage.cpp"
    VERBATIM)
  target_sources(zrreg PRIVATE ${PROJECT_SOURCE_DIR}/tools/zrservehttp.cpp ${PROJECT_SOURCE_DIR}/tools/zrserveconn.cpp ${PROJECT_SOURCE_DIR}/tools/zrserveapi.cpp
                 ${CMAKE_BINARY_DIR}/zrpage.cpp)
  target_compile_definitions(zrreg PRIVATE ZR_SERVE)
  target_include_directories(zrreg SYSTEM PRIVATE ${ZR_HTTPLIB_INCLUDE_DIRS} ${ZR_NLOHMANN_DIR})
  target_compile_options(zrreg PRIVATE ${ZR_HTTPLIB_CFLAGS_OTHER})
  target_link_libraries(zrreg PRIVATE ${ZR_HTTPLIB_LINK_LIBRARIES})
elseif(ZR_SERVE_LINKS)
  message(STATUS "zrreg serve: not built in (cpp-httplib ${ZR_HTTPLIB_VERSION} lacks the connection hooks of 0.11 that the server uses)")
else()
  message(STATUS "zrreg serve: not built in (install libcpp-httplib-dev and nlohmann-json3-dev for the target)")
endif()
