# The fuzz targets. Two builds meet here:
# - the fuzz build (build-fuzz/, clang, -DTAVISOL_FUZZ=ON, see `make fuzz`) compiles the
#   program with coverage and sanitizers and links the targets that drive its handlers;
#   tests/proto.cmake adds the wire-format targets to it;
# - the ordinary build registers one short CTest run per target (label fuzz) that takes
#   the targets from the fuzz build and starts from the committed corpus; where the fuzz
#   build is missing (no clang or libFuzzer) the runs are reported as skipped.
# include()d from tests/CMakeLists.txt.

set(TAVISOL_FUZZ_TARGETS
    fuzz_bootp fuzz_address fuzz_icmp fuzz_arp
    fuzz_reply_listener fuzz_bootp_listing fuzz_responder fuzz_icmp_receive
    fuzz_sockets_request fuzz_plan)

if(TAVISOL_FUZZ)
    foreach(fuzzer fuzz_reply_listener fuzz_bootp_listing fuzz_responder fuzz_icmp_receive)
        add_executable(${fuzzer}
            ${CMAKE_CURRENT_LIST_DIR}/${fuzzer}.cpp
            ${CMAKE_CURRENT_LIST_DIR}/lab.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/appliance_packets.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/netns.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../support/udp_peer.cpp)
        target_link_libraries(${fuzzer} PRIVATE tavisol_app)
        target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer)
    endforeach()
    # The request reader of tavisol-sockets, the privileged helper.
    add_executable(fuzz_sockets_request ${CMAKE_CURRENT_LIST_DIR}/fuzz_sockets_request.cpp)
    target_link_libraries(fuzz_sockets_request PRIVATE tavisol_sockets_common)
    target_link_options(fuzz_sockets_request PRIVATE -fsanitize=fuzzer)
    # The plan file and address range of a batch assignment.
    add_executable(fuzz_plan ${CMAKE_CURRENT_LIST_DIR}/fuzz_plan.cpp)
    target_link_libraries(fuzz_plan PRIVATE tavisol_cli_plan)
    target_link_options(fuzz_plan PRIVATE -fsanitize=fuzzer)
    add_custom_target(fuzz_targets DEPENDS ${TAVISOL_FUZZ_TARGETS})
    return()
endif()

set(TAVISOL_FUZZ_DIR ${PROJECT_SOURCE_DIR}/build-fuzz
    CACHE PATH "The build of the fuzz targets (make fuzz-build) that the fuzz tests run")
set(TAVISOL_FUZZ_TEST_SECONDS 20 CACHE STRING "How long each fuzz test runs")
foreach(fuzzer ${TAVISOL_FUZZ_TARGETS})
    add_test(NAME fuzz.${fuzzer}
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/fuzz.sh ${TAVISOL_FUZZ_DIR} ${fuzzer}
                     ${TAVISOL_FUZZ_TEST_SECONDS})
    set_tests_properties(fuzz.${fuzzer} PROPERTIES
        LABELS fuzz SKIP_RETURN_CODE 77 TIMEOUT 300)
endforeach()
