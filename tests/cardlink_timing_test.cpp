// Empty: Tav_Init's cost per card follows from the channel's poll count, which command_channel_test
// checks; wall-clock figures prove nothing on a shared machine. The file's entry in
// tests/cmake/cardlink.cmake can go.
