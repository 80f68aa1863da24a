"""The engine client and the notebook assistant."""
