# European options under the Kou double-exponential jump-diffusion model.
# Options are built MATURITY FIRST: KouEuropeanCall(T, K).
from typing import NoReturn, SupportsFloat, SupportsIndex, SupportsInt

_Float = SupportsFloat | SupportsIndex
_Int = SupportsInt | SupportsIndex

class Option:
    # Option and EuropeanOption have no constructor: calling them raises TypeError.
    def __init__(self, *args: object, **kwargs: object) -> NoReturn: ...

class EuropeanOption(Option):
    def priceByKouJumpDiffusion(
        self,
        S: _Float,
        r: _Float,
        sigma: _Float,
        lam: _Float,
        p: _Float,
        eta1: _Float,
        eta2: _Float,
        n: _Int,
    ) -> float: ...

class KouEuropeanCall(EuropeanOption):
    def __init__(self, arg0: _Float, arg1: _Float, /) -> None: ...

class KouEuropeanPut(EuropeanOption):
    def __init__(self, arg0: _Float, arg1: _Float, /) -> None: ...

def create_european_call(T: _Float, K: _Float) -> KouEuropeanCall: ...
def create_european_put(T: _Float, K: _Float) -> KouEuropeanPut: ...
