// Keeps a library that has no platform sources yet buildable.
