# Native build for the unit tests: the same sources against the in-memory
# Win32 stand-in, with AddressSanitizer and UndefinedBehaviorSanitizer.
option(VELQUIST_SANITIZE "Build native code with ASan and UBSan" ON)
if(VELQUIST_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra -g)

add_library(fakewin STATIC tests/fakewin/fakewin.cpp)
target_include_directories(fakewin PUBLIC tests/fakewin/include tests/fakewin)

add_library(velquist_core STATIC ${VELQUIST_SOURCES})
target_include_directories(velquist_core PUBLIC ${VELQUIST_INCLUDES})
target_link_libraries(velquist_core PUBLIC fakewin)

enable_testing()
find_package(GTest REQUIRED)
file(GLOB VELQUIST_TESTS CONFIGURE_DEPENDS src/*_test.cpp platform/*_test.cpp tests/fakewin/*_test.cpp)
add_executable(unit_tests ${VELQUIST_TESTS} tests/fakewin/fixture.cpp)
target_link_libraries(unit_tests PRIVATE velquist_core GTest::gtest GTest::gtest_main)
target_include_directories(unit_tests PRIVATE tests/oracle)
target_compile_definitions(unit_tests PRIVATE VELQUIST_RC_FILE="${CMAKE_SOURCE_DIR}/res/velquist.rc")
include(GoogleTest)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60)

foreach(extra fuzz bench)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
    add_subdirectory(${extra})
  endif()
endforeach()
