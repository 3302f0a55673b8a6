// The plug-in is the driver library linked whole; its exports come from Exports.cpp.
