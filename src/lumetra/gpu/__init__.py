"""GPU memory planning."""
