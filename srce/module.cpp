// The driver module: the whole driver library, of which only DriverEntry is
// visible to the host that loads it.
