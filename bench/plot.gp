# Events per second by payload size, from korva-bench's CSV: the core and ZeroMQ with one and four
# readers, and the bound of one cold copy of the payload per event.
#
#   gnuplot -e "csv='bench/results/latest.csv'; png='bench/results/throughput.png'" bench/plot.gp
#
# Columns (by position): 1 payload_bytes, 2 consumers, 5 core_median, 8 zmq_median,
# 12 memcpy_cold_ns.
if (!exists("csv")) csv = 'bench/results/latest.csv'
if (!exists("png")) png = 'bench/results/throughput.png'

set datafile separator ','
set terminal pngcairo size 900,560 noenhanced font ',10'
set output png

set title 'korvacore event path: events/s per payload size (medians)'
set logscale xy
# 0 B has no place on a log axis: it is drawn at 1 B, where it costs the same.
at(bytes) = bytes < 1 ? 1 : bytes
set xrange [0.7:400000]
set xtics ('0 B' 1, '16 B' 16, '256 B' 256, '1 KiB' 1024, '4 KiB' 4096, '16 KiB' 16384, \
           '64 KiB' 65536, '256 KiB' 262144)
set xlabel 'payload'
set ylabel 'events/s'
set format y '%.0s%c'
set grid xtics ytics mxtics mytics
set key outside right top
set style data linespoints

# One series per reader count; other rows are left undefined and the line joins the ones kept.
only(k, value) = column(2) == k ? value : NaN
set datafile missing NaN

plot csv skip 1 using (at($1)):(only(1, $5)) title 'core K=1' lw 2 pt 7 lc rgb '#1f77b4', \
     csv skip 1 using (at($1)):(only(4, $5)) title 'core K=4' lw 2 pt 5 lc rgb '#2ca02c', \
     csv skip 1 using (at($1)):(only(1, $8)) title 'ZeroMQ K=1' lw 2 pt 6 dt 2 lc rgb '#d62728', \
     csv skip 1 using (at($1)):(only(4, $8)) title 'ZeroMQ K=4' lw 2 pt 4 dt 2 lc rgb '#ff7f0e', \
     csv skip 1 using (at($1)):(column(2) == 1 && $1 > 0 ? 1e9 / $12 : NaN) \
         title 'one cold memcpy' lw 1 pt 1 dt 3 lc rgb '#555555'
