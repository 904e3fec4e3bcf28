# The simulated boot loaders and the board's mode changes, where the product's runs do not reach them.
cardlink_test(boot_loader_model_test boot_loader_model_test.cpp)
# The virtual bus on both of its personalities.
cardlink_test(virtual_bus_test virtual_bus_test.cpp)
