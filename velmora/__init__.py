"""Pure-Python companions of the `_velmora` module: `velmora.aio`, the asyncio bridge."""
