"""Monitoring counters."""
