// Filled in with the binding layer.
