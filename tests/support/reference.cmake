# qiv_test_reference: the independent references on OpenSSL's libcrypto (reference.h), shared by
# the test suites, the fuzz harnesses and the benchmarks. Each of them includes this file, as
# each may be built without the others (fuzz and bench build without the tests too); the first
# one defines the library.
include_guard(GLOBAL)
find_package(OpenSSL REQUIRED)
add_library(qiv_test_reference STATIC ${CMAKE_CURRENT_LIST_DIR}/reference.cpp)
target_link_libraries(qiv_test_reference PUBLIC OpenSSL::Crypto PRIVATE qiv_warnings)
