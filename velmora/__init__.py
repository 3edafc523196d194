"""Pure-Python companions of the `_velmora` module: `velmora.aio`, the asyncio bridge, and
`velmora.testing`, the room simulator for testing bots (with its pytest plugin)."""
