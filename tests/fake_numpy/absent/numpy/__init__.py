"""Stands in for an interpreter without NumPy: importing it fails."""

raise ModuleNotFoundError("No module named 'numpy' (stand-in: NumPy is absent)", name="numpy")
