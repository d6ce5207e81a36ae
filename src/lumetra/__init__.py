"""Native layer of lumetra: extension modules that speed up Python programs at run time."""
