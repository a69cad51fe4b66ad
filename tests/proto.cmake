# Tests for proto/ (BOOTP/DHCP wire format): the proto_test unit tests and,
# with clang, the fuzz_bootp libFuzzer target.
# include()d from tests/CMakeLists.txt after proto/ has defined tavisol_proto.

if(NOT TARGET GTest::gtest_main)
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)

add_executable(proto_test ${CMAKE_CURRENT_LIST_DIR}/proto_test.cpp)
target_link_libraries(proto_test PRIVATE tavisol_proto GTest::gtest_main)
gtest_discover_tests(proto_test PROPERTIES LABELS unit)

# libFuzzer needs coverage instrumentation in the code under test, not only in
# the entry point, so the proto sources are compiled again into the fuzzer
# instead of linking the uninstrumented tavisol_proto.
#   fuzz_bootp -dict=tests/fuzz/fuzz_bootp.dict [corpus_dir]
if(CMAKE_CXX_COMPILER_ID MATCHES Clang)
    get_target_property(_proto_dir tavisol_proto SOURCE_DIR)
    get_target_property(_proto_sources tavisol_proto SOURCES)
    list(FILTER _proto_sources INCLUDE REGEX "\\.cpp$")
    list(TRANSFORM _proto_sources PREPEND "${_proto_dir}/")

    add_executable(fuzz_bootp ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_bootp.cpp ${_proto_sources})
    target_include_directories(fuzz_bootp PRIVATE
        $<TARGET_PROPERTY:tavisol_proto,INTERFACE_INCLUDE_DIRECTORIES>)
    target_compile_features(fuzz_bootp PRIVATE cxx_std_20)
    target_compile_options(fuzz_bootp PRIVATE
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
    target_link_options(fuzz_bootp PRIVATE -fsanitize=fuzzer,address,undefined)
endif()
