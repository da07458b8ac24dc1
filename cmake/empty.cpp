// The shared library is assembled from the subsystem archives; this unit only gives it a source.
