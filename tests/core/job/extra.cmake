# The MAC pool and the job dialog logic built again with a wide permitted block
# (04:22:D1 and the 4095 addresses after it), so ranges of many addresses can be
# tested. Built from the sources directly: these targets must not link pt_job.
set(PT_JOB_WIDE_SRCS
    ${PROJECT_SOURCE_DIR}/src/job/Logmac.cpp ${PROJECT_SOURCE_DIR}/src/job/Logcfg.cpp
    ${PROJECT_SOURCE_DIR}/src/job/SelectFilesLogic.cpp
    ${PROJECT_SOURCE_DIR}/src/app/HeadlessJobDialog.cpp ${PROJECT_SOURCE_DIR}/src/base/MacPool.cpp)
set(PT_JOB_WIDE_DEFS PT_MAC_BLOCK_FIRST=271057 PT_MAC_BLOCK_LAST=275152)

# Loads a pool and takes addresses until none is left, printing each address only
# after TakeNext returned 0. The kill -9 test runs and kills it again and again.
add_executable(macpool_taker ${CMAKE_CURRENT_SOURCE_DIR}/core/job/tools/macpool_taker.cpp
                             ${PROJECT_SOURCE_DIR}/src/job/Logmac.cpp ${PROJECT_SOURCE_DIR}/src/base/MacPool.cpp)
target_compile_options(macpool_taker PRIVATE ${PT_WARNINGS})
target_include_directories(macpool_taker PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
target_compile_definitions(macpool_taker PRIVATE ${PT_JOB_WIDE_DEFS})
target_link_libraries(macpool_taker PRIVATE pt_platform)

file(GLOB PT_JOB_WIDE_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/core/job/wide/*.cpp)
add_executable(test_job_wide ${PT_JOB_WIDE_TESTS} ${PT_JOB_WIDE_SRCS})
target_compile_options(test_job_wide PRIVATE ${PT_WARNINGS})
target_include_directories(test_job_wide PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                           ${CMAKE_CURRENT_SOURCE_DIR}/core/job ${PROJECT_SOURCE_DIR}/src
                           ${PROJECT_SOURCE_DIR})
target_compile_definitions(test_job_wide PRIVATE ${PT_JOB_WIDE_DEFS}
                           PT_MACPOOL_TAKER="$<TARGET_FILE:macpool_taker>")
target_link_libraries(test_job_wide PRIVATE pt_platform GTest::gtest GTest::gtest_main)
add_dependencies(test_job_wide macpool_taker)
add_test(NAME test_job_wide COMMAND test_job_wide)
set_tests_properties(test_job_wide PROPERTIES LABELS "core" TIMEOUT 600)
