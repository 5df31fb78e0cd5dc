# Round trip and rebuild time against store size, the service beside its
# floor, from the tab-separated results of `chimewell_bench --out FILE`.
#
#   gnuplot -e "results='native.tsv'; output='performance.png'" bench/plot.gp
#
# Points are medians; the whiskers reach the p99. The floor is drawn a little
# to the right of its size so that the two sets of whiskers stay apart.
if (!exists("results")) results = 'native.tsv'
if (!exists("output")) output = 'performance.png'
if (!exists("title_suffix")) title_suffix = ''

set terminal pngcairo size 1200,520 font 'sans,10'
set output output
set datafile separator "\t"
set key top left
set logscale xy
set grid xtics ytics mxtics mytics
set xlabel 'reminders in the store'
set ylabel 'milliseconds'
set xrange [500:200000]
set format x '%.0s%c'

set multiplot layout 1,2 title 'Chimewell: the service beside its floor (medians, whiskers to the p99)'.title_suffix

# Columns: 1 size, 5-8 update (median, p99, floor median, floor p99),
# 17-20 rebuild (the same four).
set title 'Update round trip (command, rebuild, notification)'
plot results using 1:5:5:6 skip 1 with yerrorlines lw 2 pt 7 title 'service', \
     results using ($1*1.08):7:7:8 skip 1 with yerrorlines lw 2 pt 5 dt 2 title 'floor (a) + (b)'

set title 'Rebuild alone (clock-change notice)'
plot results using 1:17:17:18 skip 1 with yerrorlines lw 2 pt 7 title 'service', \
     results using ($1*1.08):19:19:20 skip 1 with yerrorlines lw 2 pt 5 dt 2 title 'floor (a) + (b)'

unset multiplot
