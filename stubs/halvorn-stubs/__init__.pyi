# European call under the Merton jump-diffusion model.
# Calls are built STRIKE FIRST: MertonEuropeanCall(K, T).
from typing import SupportsFloat, SupportsIndex

_Float = SupportsFloat | SupportsIndex

class MertonEuropeanCall:
    def __init__(self, arg0: _Float, arg1: _Float, /) -> None: ...
    def JDAnalyticalPrice(
        self,
        S: _Float,
        sigma: _Float,
        r: _Float,
        lam: _Float,
        m: _Float,
        s: _Float,
        n: _Float,
    ) -> float: ...
