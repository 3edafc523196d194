import sys, time
import bench_room as b
r = b.Room(300, "steady")
n = int(sys.argv[1]); secs = float(sys.argv[2])
ticks = int(secs * 50)
print("go", flush=True)
r.send(lambda t: n if t < ticks else None)
print("done", flush=True)
r.close()
