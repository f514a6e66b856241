"""Fast PCD loading (ASCII, binary, binary_compressed)"""

import numpy

def load_pcd(filename: str | bytes | bytearray) -> tuple[numpy.ndarray, dict[str, numpy.ndarray]]:
    """Load a PCD file into NumPy arrays.

    Returns:
        points: np.ndarray of shape (N,3) with x,y,z
        fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    """
