# Tests for proto/ (wire formats): one unit-test program per unit and, with clang, the
# libFuzzer targets fuzz_bootp, fuzz_address, fuzz_icmp and fuzz_arp.
# include()d from tests/CMakeLists.txt after proto/ has defined tavisol_proto.

if(NOT TARGET GTest::gtest_main)
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)

foreach(unit proto address icmp arp bootp_reply)
    add_executable(${unit}_test ${CMAKE_CURRENT_LIST_DIR}/${unit}_test.cpp)
    target_link_libraries(${unit}_test PRIVATE tavisol_proto GTest::gtest_main)
    gtest_discover_tests(${unit}_test PROPERTIES LABELS unit)
endforeach()

# libFuzzer needs coverage instrumentation in the code under test, not only in
# the entry point, so the proto sources are compiled again into each fuzzer
# instead of linking the uninstrumented tavisol_proto.
#   fuzz_bootp -dict=tests/fuzz/fuzz_bootp.dict [corpus_dir]
#   fuzz_address -dict=tests/fuzz/fuzz_address.dict [corpus_dir]
#   fuzz_icmp [corpus_dir]
#   fuzz_arp [corpus_dir]
if(CMAKE_CXX_COMPILER_ID MATCHES Clang)
    get_target_property(_proto_dir tavisol_proto SOURCE_DIR)
    get_target_property(_proto_sources tavisol_proto SOURCES)
    list(FILTER _proto_sources INCLUDE REGEX "\\.cpp$")
    list(TRANSFORM _proto_sources PREPEND "${_proto_dir}/")

    foreach(fuzzer fuzz_bootp fuzz_address fuzz_icmp fuzz_arp)
        add_executable(${fuzzer} ${CMAKE_CURRENT_LIST_DIR}/fuzz/${fuzzer}.cpp ${_proto_sources})
        target_include_directories(${fuzzer} PRIVATE
            $<TARGET_PROPERTY:tavisol_proto,INTERFACE_INCLUDE_DIRECTORIES>)
        target_compile_features(${fuzzer} PRIVATE cxx_std_20)
        target_compile_options(${fuzzer} PRIVATE
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
        target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined)
    endforeach()
endif()
