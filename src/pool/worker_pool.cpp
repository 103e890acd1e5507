// Filled in with the worker pool.
