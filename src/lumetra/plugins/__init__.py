"""Analysis plug-ins."""
