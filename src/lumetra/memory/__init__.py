"""Concurrency primitives, slab allocator kit and free-block index."""
