"""Host capability detection."""
