# Service channel tests: URL normalisation, retry rule, configuration and
# endpoints, registry store, TLS. The time-out test runs alone in its own
# executable because the value is read once per process.
pelox_add_test(channel_tests SOURCES test_url.cpp test_channel.cpp test_registry.cpp test_tls.cpp)
target_link_libraries(channel_tests PRIVATE pelox_wire_testsupport OpenSSL::SSL OpenSSL::Crypto)
pelox_add_test(channel_timeout_tests SOURCES test_channel_timeout.cpp)
