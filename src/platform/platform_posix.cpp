// POSIX implementation of the platform layer (being written).
