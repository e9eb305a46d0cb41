# test_workers_widepool: the MAC programming worker with a pool whose permitted block
# is wider than the product's (02:5C:3A:0A:0B:F0 to 0A:0C:0F), so that sixteen workers
# can take addresses from one pool at once. The block is a build-time constant of the
# pool, so the GUI-free sources are compiled again here with other values, instead of
# linking the product's libraries.
file(GLOB pt_widepool_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/core/workers/widepool/*.cpp)
if(pt_widepool_tests)
  file(GLOB pt_widepool_srcs CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/platform/*.cpp ${PROJECT_SOURCE_DIR}/src/platform/fake/*.cpp
       ${PROJECT_SOURCE_DIR}/src/base/*.cpp ${PROJECT_SOURCE_DIR}/src/job/*.cpp ${PROJECT_SOURCE_DIR}/src/app/*.cpp
       ${PROJECT_SOURCE_DIR}/src/workers/*.cpp ${PROJECT_SOURCE_DIR}/src/records/*.cpp
       ${PROJECT_SOURCE_DIR}/src/jobpkg/*.cpp)
  if(PT_WITH_FACTORYDB)
    file(GLOB pt_widepool_factorydb CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/factorydb/*.cpp)
    list(APPEND pt_widepool_srcs ${pt_widepool_factorydb})
  endif()
  if(PT_WITH_LABELS)
    file(GLOB pt_widepool_labels CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/labels/*.cpp)
    list(APPEND pt_widepool_srcs ${pt_widepool_labels})
  endif()
  pt_os_sources(pt_widepool_srcs)
  add_executable(test_workers_widepool ${pt_widepool_tests} ${pt_widepool_srcs} ${PT_GENERATED_SOURCES})
  add_dependencies(test_workers_widepool pt_board_files)
  target_compile_options(test_workers_widepool PRIVATE ${PT_WARNINGS})
  target_include_directories(test_workers_widepool PRIVATE
                             ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
  target_compile_definitions(test_workers_widepool PRIVATE
                             PT_MAC_BLOCK_FIRST=658416 PT_MAC_BLOCK_LAST=658447)
  target_link_libraries(test_workers_widepool PRIVATE GTest::gtest GTest::gtest_main Threads::Threads
                        ${PT_SQLITE_LIBS} pt_header_libs pt_gcrypt)
  if(PT_WITH_FACTORYDB)
    target_link_libraries(test_workers_widepool PRIVATE pt_libpq)
  endif()
  if(PT_WITH_LABELS)
    target_link_libraries(test_workers_widepool PRIVATE pt_zint)
  endif()
  add_test(NAME test_workers_widepool COMMAND test_workers_widepool)
  set_tests_properties(test_workers_widepool PROPERTIES LABELS "core" TIMEOUT 600)
endif()
