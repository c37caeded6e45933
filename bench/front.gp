# Draws the runs behind HAProxy that bench/run.sh makes: the rate over 1, 2 and 3
# daemons, and the rate and longest wait of 4 clients with idle or slow clients beside
# them, straight to one daemon and through the front over it.
# Call with: scale='front-scale.dat'; shield='front-shield.dat'; out='x.png'; rounds=3; seconds=4
# front-scale.dat: daemons, cps median, least, most.
# front-shield.dat: what ran beside (none, idle, slow), then for direct and for the front
# in turn: the 4 clients' cps and max_us, the slow clients' cps, and wait_max_us (the
# longest connection of any client that sends, failed or not).
set terminal pngcairo size 1500,500 font ",10"
set output out
set multiplot layout 1,3 title "echo-daemon behind HAProxy (examples/haproxy.cfg), loopback in network namespaces, 2 cores"
set key noenhanced
set grid ytics
set style fill solid 0.8 border -1

set title sprintf("Spreading: 8 clients, median of %d rounds of %g s, bars least to most", rounds, seconds)
set xlabel "daemons behind the front"
set ylabel "echoes per second"
set xrange [0.5:3.5]
set xtics 1
set yrange [0:*]
plot scale using 1:2:(0.5) with boxes lc rgb "#4477aa" notitle, \
     scale using 1:2:3:4 with yerrorbars lc rgb "black" pt 0 lw 1.5 notitle, \
     scale using 1:4:(sprintf("%.0f", $2)) with labels offset 0,0.8 notitle

set title "Shield: the 4 clients' rate, one daemon"
set xlabel "beside the 4 clients"
set ylabel "echoes per second (log scale)"
set logscale y 10
set yrange [0.1:100000]
set ytics ("0.1" 0.1, "1" 1, "10" 10, "100" 100, "1,000" 1000, "10,000" 10000, "100,000" 100000)
set xrange [-0.5:2.5]
set xtics ("nothing" 0, "2 idle" 1, "4 that wait 20 ms" 2)
set key top left
plot shield using ($0 - 0.18):2:($0 - 0.35):($0 - 0.01):(0.1):2 with boxxyerror lc rgb "#cc6677" title "direct", \
     shield using ($0 + 0.18):6:($0 + 0.01):($0 + 0.35):(0.1):6 with boxxyerror lc rgb "#4477aa" title "through HAProxy", \
     shield using ($0 - 0.18):2:(sprintf("%.0f", $2)) with labels offset 0,0.7 notitle, \
     shield using ($0 + 0.18):6:(sprintf("%.0f", $6)) with labels offset 0,0.7 notitle

set title "Shield: the longest wait of any client that sends"
set ylabel "milliseconds (log scale)"
set yrange [0.1:100000]
set ytics ("0.1" 0.1, "1" 1, "10" 10, "100" 100, "1,000" 1000, "10,000" 10000, "100,000" 100000)
plot shield using ($0 - 0.18):($5 / 1e3):($0 - 0.35):($0 - 0.01):(0.1):($5 / 1e3) with boxxyerror lc rgb "#cc6677" title "direct", \
     shield using ($0 + 0.18):($9 / 1e3):($0 + 0.01):($0 + 0.35):(0.1):($9 / 1e3) with boxxyerror lc rgb "#4477aa" title "through HAProxy", \
     shield using ($0 - 0.18):($5 / 1e3):(sprintf("%.0f", $5 / 1e3)) with labels offset 0,0.7 notitle, \
     shield using ($0 + 0.18):($9 / 1e3):(sprintf("%.0f", $9 / 1e3)) with labels offset 0,0.7 notitle
unset multiplot
