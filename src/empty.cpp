// Placeholder for a subsystem that has no modules yet.
