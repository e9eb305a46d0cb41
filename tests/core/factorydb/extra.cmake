# test_factorydb: the factory pool against a real PostgreSQL server, which
# scripts/pgtest.sh starts (and stops) around the program. Built from the sources with
# a wide permitted block (04:22:D1 and the 4095 addresses after it).

if(PT_WITH_FACTORYDB)
  file(GLOB pt_factorydb_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/core/factorydb/*.cpp)
  file(GLOB pt_factorydb_srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/factorydb/*.cpp)
  add_executable(test_factorydb ${pt_factorydb_tests} ${pt_factorydb_srcs}
                                ${PROJECT_SOURCE_DIR}/src/base/LineText.cpp
                                ${PROJECT_SOURCE_DIR}/src/base/MacPool.cpp
                                ${PROJECT_SOURCE_DIR}/src/records/RecordStore.cpp
                                ${PROJECT_SOURCE_DIR}/src/records/RecordText.cpp
                                ${PROJECT_SOURCE_DIR}/src/records/RecordWriter.cpp
                                ${PROJECT_SOURCE_DIR}/src/records/Spool.cpp
                                ${PROJECT_SOURCE_DIR}/src/records/UnitsTable.cpp)
  target_compile_options(test_factorydb PRIVATE ${PT_WARNINGS})
  target_include_directories(test_factorydb PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
  target_compile_definitions(test_factorydb PRIVATE PT_MAC_BLOCK_FIRST=271057 PT_MAC_BLOCK_LAST=275152
                             PT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_link_libraries(test_factorydb PRIVATE pt_libpq pt_platform GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME test_factorydb
           COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/pgtest.sh -- $<TARGET_FILE:test_factorydb>)
  set_tests_properties(test_factorydb PROPERTIES LABELS "core" TIMEOUT 300)
endif()
