"""korvane: a notebook client kit for a multi-tenant code-generation service."""
